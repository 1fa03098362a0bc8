#include "SafeApplication.h"

#include <QMessageBox>
#include <QWidget>

#include <cstdio>
#include <exception>

namespace kolvaro {

SafeApplication::SafeApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool SafeApplication::notify(QObject* receiver, QEvent* event) {
    QString what;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        what = QString::fromLocal8Bit(e.what());
    } catch (...) {
        what = QStringLiteral("an unknown error");
    }
    const QString where = receiver ? QString::fromLatin1(receiver->metaObject()->className())
                                   : QStringLiteral("the program");
    report(QStringLiteral("Kolvaro could not finish what %1 was doing: %2").arg(where, what));
    return false;
}

void SafeApplication::report(const QString& what) {
    std::fprintf(stderr, "%s\n", qUtf8Printable(what));
    // One box at a time: a fault that repeats on every paint must not bury the user.
    if (shown_)
        return;
    // Shown from the event loop, not from inside the event that failed.
    QMetaObject::invokeMethod(
        this,
        [this, what] {
            if (shown_)
                return;
            auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Kolvaro"), what,
                                        QMessageBox::Ok, activeWindow());
            box->setAttribute(Qt::WA_DeleteOnClose);
            shown_ = box;
            box->open();
        },
        Qt::QueuedConnection);
}

} // namespace kolvaro
