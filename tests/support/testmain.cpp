// Test main shared by every test executable: widgets need an application object, and the tests
// must never open a window on a real display.
#include "updatechecker.h"

#include <QApplication>
#include <gtest/gtest.h>

// Under LeakSanitizer: allocations that Qt's platform plug-ins and system libraries keep until exit on
// purpose. Our own code gets no entry here. Also read when the executable only lists its tests.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:QPlatformScreen\n"
           "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n";
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    registerUpdateVersionsType(); // as main() does
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
