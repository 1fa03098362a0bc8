#include "ClientApp.h"
#include "widgets/SafeApplication.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    kolvaro::SafeApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kolvaro"));
    // QApplication has taken its own options out of argv; the rest go to the ORB.
    kolvaro::ClientApp client(argc, argv);
    client.show();
    const int status = QApplication::exec();
    if (!client.shutdown()) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
