#include "app/qt_app_fixture.h"

namespace varnelo {

QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "app_test";
    static char* argv[] = {name, nullptr};
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

}  // namespace varnelo
