#pragma once

#include "rollback.h"
#include "slowfileopspecification.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// Checks shared by the tasks that decode a packed file onto a target (unzip, LZMA unpack). Both write
// beside the target and move into place, so on failure the target and its directory must stay exactly
// as they were.

// Makes the task under test for one run.
using UnpackTaskFactory = std::function<std::unique_ptr<SlowFileOpSpecification>(
    RollbackDataList *rollback, const QString &source, const QString &target)>;

struct UnpackCase
{
    const char *name;
    QByteArray packed;
    bool ok;
    QByteArray plain; // the target's content on success
};

// Runs each case onto a new target and onto an earlier file there (mode 0750, which a success keeps),
// both named below a fresh sandbox, and compares the whole sandbox afterwards. A success records the
// target as created and says nothing; a failure says failureText (%1 the source, %2 the target) and
// records nothing.
void checkUnpackCases(const UnpackTaskFactory &make, const std::vector<UnpackCase> &cases, const QString &sourceName,
                      const QString &targetName, const QString &failureText);

struct UnpackPathCase
{
    const char *name;
    const char *source; // below the sandbox
    const char *target;
};

// Runs each case in a sandbox holding "tmp/packed" (packed) and "inst/existing"; every one must fail
// with failureText and leave the sandbox as it was.
void checkUnpackPathCases(const UnpackTaskFactory &make, const std::vector<UnpackPathCase> &cases,
                          const QByteArray &packed, const QString &failureText);

QByteArray withByte(QByteArray data, int index, char value);

// 40000 bytes of decimal numbers: across three reads of a 16384-byte buffer, and not compressible to
// nothing.
QByteArray largePlain();
