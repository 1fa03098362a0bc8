#pragma once

#include <QApplication>
#include <QPointer>

class QMessageBox;

namespace kolvaro {

// The client's QApplication. An exception that escapes an event handler or a
// slot would end the program; this one stops it at the event, says in a
// message box what failed, and carries on with the next event.
class SafeApplication : public QApplication {
    Q_OBJECT
public:
    SafeApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    void report(const QString& what);

    QPointer<QMessageBox> shown_;
};

} // namespace kolvaro
