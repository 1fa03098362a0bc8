#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kolvaro {

// The modal dialog in which the user writes a message and picks its
// addressee among the users whose areas are open. It is made once and
// reused, so the text of the last message stays.
class SendMessageDialog : public QDialog {
    Q_OBJECT

public:
    explicit SendMessageDialog(QWidget* parent = nullptr);

    QLabel* Label1;
    QLineEdit* Txt;
    QLabel* Label2;
    QComboBox* BoxClients;
    QPushButton* Send;
    QPushButton* Close;

    // Before each show: the captions of the open areas in the main window's
    // child order, and the user's own name, which is never offered.
    void prepare(const QStringList& areaCaptions, const QString& ownName);

    QString text() const;
    QString recipient() const;

    // Fills the addressee list; runs on every show.
    void fillRecipients();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QStringList areaCaptions_;
    QString ownName_;
};

} // namespace kolvaro
