#pragma once

#include <QMetaObject>
#include <QStringList>

// The signatures of the signals, slots and invokable methods a class declares itself (not those it
// inherits), in declaration order, e.g. "finished(TaskSpecification*)".
QStringList ownMethodSignatures(const QMetaObject &mo);
