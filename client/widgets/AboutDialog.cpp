#include "AboutDialog.h"

#include "ClientResources.h"
#include "JpegImage.h"

#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QtDebug>

namespace kolvaro {

namespace {

struct Credit {
    const char* heading;
    const char* value;
};

constexpr Credit kCredits[4] = {
    {"Shared drawing board", "The Kolvaro team"},
    {"Remote calls", "CORBA, omniORB 4.2"},
    {"Windows", "Qt 6 Widgets"},
    {"Picture", "Hills by the lake"},
};

QLabel* label(const QString& text, QWidget* parent, int x, int y, int pixelSize, bool bold) {
    auto* l = new QLabel(text, parent);
    QFont f = l->font();
    if (pixelSize > 0)
        f.setPixelSize(pixelSize);
    f.setBold(bold);
    l->setFont(f);
    l->adjustSize();
    l->move(x, y);
    return l;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    initClientResources();
    setWindowTitle(QStringLiteral("About Kolvaro Application"));
    setFixedSize(379, 275);
    setModal(true);

    QFont base(QStringLiteral("Sans Serif"));
    base.setStyleHint(QFont::SansSerif);
    base.setPixelSize(11);
    setFont(base);

    Image1 = new QLabel(this);
    Image1->setGeometry(8, 8, 153, 209);
    Image1->setScaledContents(true);
    QFile file(QStringLiteral(":/about/about.jpg"));
    QString error;
    QImage picture =
        file.open(QIODevice::ReadOnly) ? kolvaro::decodeJpeg(file.readAll(), &error) : QImage();
    if (picture.isNull())
        qWarning() << "About picture not shown:" << (error.isEmpty() ? file.errorString() : error);
    else
        Image1->setPixmap(QPixmap::fromImage(picture));

    Label1 = label(QStringLiteral("Kolvaro version 1.0"), this, 208, 16, 13, true);

    for (int i = 0; i < 4; ++i) {
        const int y = 64 + 40 * i;
        credits[2 * i] = label(QString::fromUtf8(kCredits[i].heading), this, 176, y, 0, false);
        credits[2 * i + 1] =
            label(QString::fromUtf8(kCredits[i].value), this, 200, y + 16, 12, true);
    }

    Button1 = new QPushButton(QStringLiteral("Ok"), this);
    Button1->setGeometry(152, 240, 75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace kolvaro
