#pragma once

#include <QDialog>
#include <QStringList>

class QListWidget;

namespace kolvaro {

// Shown before the login when several boards are announced on the network:
// the person picks one by its name. Closing it picks none.
class BoardChooser : public QDialog {
    Q_OBJECT

public:
    explicit BoardChooser(const QStringList& names, QWidget* parent = nullptr);

    QString chosen() const;
    QListWidget* Boards;
};

} // namespace kolvaro
