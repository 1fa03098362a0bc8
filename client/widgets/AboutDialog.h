#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kolvaro {

// The About box: a picture, the version and four credit entries.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QLabel* Image1;
    QLabel* Label1;
    // Label2..Label9: heading, value, heading, value, ...
    QLabel* credits[8];
    QPushButton* Button1;
};

} // namespace kolvaro
