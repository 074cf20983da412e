#include "metamethods.h"

#include <QMetaMethod>

QStringList ownMethodSignatures(const QMetaObject &mo)
{
    QStringList methods;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
        methods << QString::fromLatin1(mo.method(i).methodSignature());
    return methods;
}
