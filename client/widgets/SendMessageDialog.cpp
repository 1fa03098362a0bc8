#include "SendMessageDialog.h"

#include "FormLabel.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace kolvaro {

namespace {

// The order of a sorted list box: letters before case, then case.
bool before(const QString& a, const QString& b) {
    int c = QString::compare(a, b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
}

} // namespace

SendMessageDialog::SendMessageDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Send message"));
    setFixedSize(519, 114);
    setModal(true);
    // Not placed: Qt centres a dialog that has no position of its own on its
    // window at every show.

    Label1 = boldLabel(QStringLiteral("Enter your message"), this, 8, 8);

    Txt = new QLineEdit(this);
    Txt->setGeometry(8, 24, 497, 21);

    Label2 = boldLabel(QStringLiteral("Choose client"), this, 8, 56);

    BoxClients = new QComboBox(this);
    BoxClients->setGeometry(8, 72, 169, 21);
    BoxClients->setEditable(true);
    // A typed name is the addressee, not a new entry of the list.
    BoxClients->setInsertPolicy(QComboBox::NoInsert);

    Send = new QPushButton(QStringLiteral("Send"), this);
    Send->setGeometry(256, 72, 75, 25);
    Send->setDefault(true);

    Close = new QPushButton(QStringLiteral("Cancel"), this);
    Close->setGeometry(384, 72, 75, 25);

    setTabOrder(Txt, BoxClients);
    setTabOrder(BoxClients, Send);
    setTabOrder(Send, Close);

    connect(Send, &QPushButton::clicked, this, &QDialog::accept);
    connect(Close, &QPushButton::clicked, this, &QDialog::reject);
}

void SendMessageDialog::prepare(const QStringList& areaCaptions, const QString& ownName) {
    areaCaptions_ = areaCaptions;
    ownName_ = ownName;
}

QString SendMessageDialog::text() const {
    return Txt->text();
}

QString SendMessageDialog::recipient() const {
    return BoxClients->currentText();
}

void SendMessageDialog::fillRecipients() {
    BoxClients->clear();
    QStringList others;
    for (const QString& caption : areaCaptions_) {
        if (caption != ownName_)
            others << caption;
    }
    QStringList sorted = others;
    std::stable_sort(sorted.begin(), sorted.end(), before);
    BoxClients->addItems(sorted);
    // The first other area in child order, wherever the sorting put it.
    BoxClients->setEditText(others.isEmpty() ? QString() : others.first());
    Txt->setFocus();
}

void SendMessageDialog::showEvent(QShowEvent* event) {
    fillRecipients();
    QDialog::showEvent(event);
}

} // namespace kolvaro
