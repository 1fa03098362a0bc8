#include "BoardChooser.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace kolvaro {

BoardChooser::BoardChooser(const QStringList& names, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Kolvaro"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Several boards are announced on this network.\n"
                                                "Choose the one to log in to:"),
                                 this));
    Boards = new QListWidget(this);
    Boards->addItems(names);
    Boards->setCurrentRow(0);
    layout->addWidget(Boards);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(Boards, &QListWidget::itemActivated, this, &QDialog::accept);
}

QString BoardChooser::chosen() const {
    const auto* item = Boards->currentItem();
    return item ? item->text() : QString();
}

} // namespace kolvaro
