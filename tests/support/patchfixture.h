#pragma once

#include "ensemblepatchwriter.h"

#include <QByteArray>

#include <vector>

// The ensemble patch that turns old into newData, made by the test-only writer, with the given executable
// elements (none: a plain byte patch). Empty when the writer cannot make it.
QByteArray ensemblePatchBytes(const QByteArray &old, const QByteArray &newData,
                              const std::vector<patchwriter::Element> &elements = {});
