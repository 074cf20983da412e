#include "unpackchecks.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <string>

namespace {

struct Outcome
{
    int state;
    QStringList messages;
    QStringList records;
};

Outcome unpack(const UnpackTaskFactory &make, const Sandbox &box, const QString &source, const QString &target)
{
    RollbackDataList list;
    const std::unique_ptr<SlowFileOpSpecification> task = make(&list, source, target);
    TaskRecorder recorder(task.get());
    task->execute();
    EXPECT_TRUE(waitForTaskEnd(task.get()));
    EXPECT_EQ(recorder.finishedCount() + recorder.canceledCount(), 1);
    return {task->state(), recorder.messages(), describeRecords(list, box.root() + "/")};
}

} // namespace

void checkUnpackCases(const UnpackTaskFactory &make, const std::vector<UnpackCase> &cases, const QString &sourceName,
                      const QString &targetName, const QString &failureText)
{
    for (const UnpackCase &c : cases) {
        for (const bool earlier : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (earlier ? ", earlier target" : ", new target"));
            Sandbox box;
            const QString source = box.path(sourceName);
            const QString target = box.path(targetName);
            ASSERT_TRUE(Sandbox::writeFile(source, c.packed));
            ASSERT_TRUE(QDir().mkpath(QFileInfo(target).path()));
            if (earlier) {
                ASSERT_TRUE(Sandbox::writeFile(target, "earlier version"));
                ASSERT_TRUE(QFile::setPermissions(target,
                                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadGroup | QFile::ExeGroup));
            }
            TreeSnapshot expected = snapshotTree(box.root());

            const Outcome outcome = unpack(make, box, source, target);
            TreeSnapshot after = snapshotTree(box.root());
            if (c.ok) {
                EXPECT_EQ(outcome.state, TASK_FINISHED);
                EXPECT_EQ(outcome.messages, QStringList());
                EXPECT_EQ(outcome.records, QStringList {"FILE_CREATE " + targetName});
                ASSERT_EQ(after.count(targetName), 1u);
                EXPECT_EQ(after[targetName].content, c.plain);
                if (earlier) {
                    EXPECT_EQ(after[targetName].mode, 0750u); // the earlier file's mode stays
                }
                after.erase(targetName);
                expected.erase(targetName);
            } else {
                EXPECT_EQ(outcome.state, TASK_CANCELED);
                EXPECT_EQ(outcome.messages, QStringList {failureText.arg(source, target)});
                EXPECT_EQ(outcome.records, QStringList());
            }
            EXPECT_EQ(after, expected);
        }
    }
}

void checkUnpackPathCases(const UnpackTaskFactory &make, const std::vector<UnpackPathCase> &cases,
                          const QByteArray &packed, const QString &failureText)
{
    for (const UnpackPathCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("tmp/packed"), packed));
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/existing"), "installed"));
        const TreeSnapshot before = snapshotTree(box.root());
        const QString source = box.path(c.source);
        const QString target = box.path(c.target);

        const Outcome outcome = unpack(make, box, source, target);
        EXPECT_EQ(outcome.state, TASK_CANCELED);
        EXPECT_EQ(outcome.messages, QStringList {failureText.arg(source, target)});
        EXPECT_EQ(outcome.records, QStringList());
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}

QByteArray withByte(QByteArray data, int index, char value)
{
    data[index] = value;
    return data;
}

QByteArray largePlain()
{
    QByteArray plain;
    for (int i = 0; plain.size() < 40000; ++i)
        plain += QByteArray::number(i * 7919) + ' ';
    return plain.left(40000);
}
