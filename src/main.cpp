#include "protobufhelper.h"

#include <QApplication>

int main(int argc, char **argv)
{
    initProtobuf();
    QApplication app(argc, argv);
    shutdownProtobuf();
    return 0;
}
