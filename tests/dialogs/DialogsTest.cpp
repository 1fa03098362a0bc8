#include "ClientResources.h"
#include "Clientabout.h"
#include "Clientsender.h"
#include "Loginclient.h"

#include <QApplication>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

// Answers are given by the test, on the window thread, when it chooses.
class FakeRegistrar : public Registrar {
public:
    void registerName(const QString& name, std::function<void(LoginOutcome)> done) override {
        asked << name;
        pending = std::move(done);
    }
    void answer(LoginOutcome outcome) {
        auto done = std::move(pending);
        pending = nullptr;
        done(outcome);
    }
    QStringList asked;
    std::function<void(LoginOutcome)> pending;
};

struct SeenBox {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    bool seen = false;
};

// Closes the next message box with OK once it shows, noting what it said.
void closeNextMessageBox(SeenBox* seen) {
    QTimer::singleShot(10, [seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            closeNextMessageBox(seen);
            return;
        }
        seen->seen = true;
        seen->text = box->text();
        seen->icon = box->icon();
        seen->buttons = static_cast<int>(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
}

} // namespace

class LoginTest : public QObject {
    Q_OBJECT

    FakeRegistrar registrar;
    QStringList known;
    QList<QPair<QString, int>> answers;
    int resets = 0;
    std::unique_ptr<TCLogin> dialog;

    LoginHooks hooks() {
        LoginHooks h;
        h.beforeLogin = [this] { ++resets; };
        h.nameAt = [this](int i) { return i < known.size() ? known[i] : QStringLiteral("Error"); };
        h.loginAnswered = [this](const QString& name, int result) {
            answers << qMakePair(name, result);
        };
        return h;
    }

    // "entry", "registered", or the enabled flags when they are mixed.
    QString state() const {
        const QList<bool> on{dialog->Name->isEnabled(),         dialog->Label1->isEnabled(),
                             dialog->Registration->isEnabled(), !dialog->Label2->isEnabled(),
                             !dialog->ClientsBox->isEnabled(),  !dialog->Enter->isEnabled()};
        if (!on.contains(false))
            return "entry";
        if (!on.contains(true))
            return "registered";
        QString mixed;
        for (bool b : on)
            mixed += b ? '1' : '0';
        return mixed;
    }

private slots:
    void init() {
        registrar = FakeRegistrar();
        known.clear();
        answers.clear();
        resets = 0;
        dialog = std::make_unique<TCLogin>(registrar, hooks());
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }

    void refusedNameThenAFreeOne() {
        QTest::keyClicks(dialog->Name, QStringLiteral("Ann"));
        QTest::mouseClick(dialog->Registration, Qt::LeftButton);
        QCOMPARE(registrar.asked, QStringList{"Ann"});
        // Busy: the name cannot be changed nor sent twice, and it shows.
        QVERIFY(dialog->busy());
        QVERIFY(!dialog->Registration->isEnabled());
        QVERIFY(!dialog->Name->isEnabled());
        QVERIFY(dialog->Busy->isVisible());
        dialog->reject();
        QVERIFY(dialog->isVisible());

        SeenBox box;
        closeNextMessageBox(&box);
        registrar.answer(LoginOutcome::answered(-1));
        QVERIFY(box.seen);
        QCOMPARE(box.text,
                 QStringLiteral("This Login Name already exist. Please enter other Name."));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, 1);
        QCOMPARE(state(), QStringLiteral("entry"));
        QVERIFY(!dialog->Busy->isVisible());
        QCOMPARE(answers, (QList<QPair<QString, int>>{{"Ann", -1}}));

        dialog->Name->setText(QStringLiteral("Dora"));
        known = {"Ann", "Bob", "Cid", "Dora"};
        QTest::mouseClick(dialog->Registration, Qt::LeftButton);
        QCOMPARE(registrar.asked, (QStringList{"Ann", "Dora"}));
        registrar.answer(LoginOutcome::answered(4));

        QCOMPARE(resets, 2);
        QCOMPARE(answers, (QList<QPair<QString, int>>{{"Ann", -1}, {"Dora", 4}}));
        QCOMPARE(state(), QStringLiteral("registered"));
        QCOMPARE(dialog->ClientsBox->count(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(dialog->ClientsBox->item(i)->text(), known[i]);
            QCOMPARE(dialog->ClientsBox->item(i)->checkState(), Qt::Unchecked);
        }
        dialog->ClientsBox->item(1)->setCheckState(Qt::Checked);
        QCOMPARE(dialog->checkedNames(), QStringList{"Bob"});
    }

    void failureIsShownAndLeavesNameEntryForAnotherTry() {
        dialog->Name->setText(QStringLiteral("Ann"));
        QTest::mouseClick(dialog->Registration, Qt::LeftButton);
        SeenBox box;
        closeNextMessageBox(&box);
        const QString why = QStringLiteral(
            "Could not log in to the server: the server cannot be reached (TRANSIENT)");
        registrar.answer(LoginOutcome::failed(why));
        QVERIFY(box.seen);
        QCOMPARE(box.text, why);
        QCOMPARE(state(), QStringLiteral("entry"));
        QVERIFY(answers.isEmpty());
        QCOMPARE(dialog->Name->text(), QStringLiteral("Ann"));

        QTest::mouseClick(dialog->Registration, Qt::LeftButton);
        QCOMPARE(registrar.asked, (QStringList{"Ann", "Ann"}));
        known = {"Ann"};
        registrar.answer(LoginOutcome::answered(1));
        // Alone on the server: nobody to choose, but the list and Enter work.
        QCOMPARE(dialog->ClientsBox->count(), 0);
        QCOMPARE(state(), QStringLiteral("registered"));
        QCOMPARE(answers, (QList<QPair<QString, int>>{{"Ann", 1}}));
    }

    void returnAndEscapeDoNothingBeforeRegistration() {
        QTest::keyClicks(dialog->Name, QStringLiteral("A name longer than twenty"));
        QCOMPARE(dialog->Name->text(), QStringLiteral("A name longer than t"));
        QTest::keyClick(dialog->Name, Qt::Key_Return);
        QTest::keyClick(dialog->Name, Qt::Key_Escape);
        QVERIFY(dialog->isVisible());
        QVERIFY(registrar.asked.isEmpty());

        QTest::mouseClick(dialog->Registration, Qt::LeftButton);
        known = {"Bob", "A name longer than t"};
        registrar.answer(LoginOutcome::answered(2));
        QTest::keyClick(dialog.get(), Qt::Key_Return);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
    }
};

class SenderTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TCSender> dialog;

    void showWith(const QStringList& captions, const QString& own) {
        dialog->prepare(captions, own);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }
    QStringList listed() const {
        QStringList names;
        for (int i = 0; i < dialog->BoxClients->count(); ++i)
            names << dialog->BoxClients->itemText(i);
        return names;
    }

private slots:
    void init() { dialog = std::make_unique<TCSender>(); }

    void offersOtherAreasSortedAndPreselectsTheFirstInChildOrder() {
        showWith({"Me", "Bob", "Ann"}, "Me");
        QCOMPARE(listed(), (QStringList{"Ann", "Bob"}));
        QCOMPARE(dialog->recipient(), QStringLiteral("Bob"));
        dialog->hide();

        // Case does not decide the order; the own name is left out wherever
        // it stands, and only an exact match is the own name.
        showWith({"carl", "Me", "Bob", "me", "alice"}, "Me");
        QCOMPARE(listed(), (QStringList{"alice", "Bob", "carl", "me"}));
        QCOMPARE(dialog->recipient(), QStringLiteral("carl"));
        dialog->hide();

        showWith({"Me"}, "Me");
        QCOMPARE(listed(), QStringList());
        QCOMPARE(dialog->recipient(), QString());
    }

    void keepsTheTextAndRebuildsTheListOnEveryShow() {
        showWith({"Me", "Bob", "Ann"}, "Me");
        QTest::keyClicks(dialog->Txt, QStringLiteral("hello there"));
        QTest::mouseClick(dialog->Send, Qt::LeftButton);
        QCOMPARE(dialog->result(), int(QDialog::Accepted));

        showWith({"Me", "Ann"}, "Me"); // Bob's area was closed
        QCOMPARE(dialog->text(), QStringLiteral("hello there"));
        QCOMPARE(listed(), QStringList{"Ann"});
        QCOMPARE(dialog->recipient(), QStringLiteral("Ann"));
    }

    void returnSendsToATypedNameAndEscapeCancels() {
        showWith({"Me", "Bob"}, "Me");
        dialog->BoxClients->lineEdit()->selectAll();
        QTest::keyClicks(dialog->BoxClients->lineEdit(), QStringLiteral("Zed"));
        QTest::keyClick(dialog->BoxClients->lineEdit(), Qt::Key_Return);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(dialog->recipient(), QStringLiteral("Zed"));
        QCOMPARE(listed(), QStringList{"Bob"});

        showWith({"Me", "Bob"}, "Me");
        QTest::keyClick(dialog->Txt, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
    }
};

class AboutTest : public QObject {
    Q_OBJECT

private slots:
    void showsThePictureAndClosesWithReturnOrOk() {
        TAbout about;
        const QPixmap picture = about.Image1->pixmap();
        QCOMPARE(picture.size(), QSize(400, 493));
        QVERIFY(about.Image1->hasScaledContents());

        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::keyClick(&about, Qt::Key_Return);
        QVERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));

        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::mouseClick(about.Button1, Qt::LeftButton);
        QVERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void everyToolbarIconRendersAtAnySize() {
        kolvaro::initClientResources();
        for (const char* name :
             {"point", "line", "rect", "circle", "fill", "clear", "send", "logout"}) {
            const QIcon icon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
            for (int side : {16, 64}) {
                const QImage image = icon.pixmap(side, side).toImage();
                QVERIFY2(!image.isNull(), name);
                QCOMPARE(image.width(), side);
                int inked = 0;
                for (int y = 0; y < side; ++y)
                    for (int x = 0; x < side; ++x)
                        inked += qAlpha(image.pixel(x, y)) > 0;
                QVERIFY2(inked > side * side / 50, name);
                QVERIFY2(inked < side * side, name);
            }
        }
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int failed = 0;
    {
        LoginTest t;
        failed += QTest::qExec(&t, argc, argv);
    }
    {
        SenderTest t;
        failed += QTest::qExec(&t, argc, argv);
    }
    {
        AboutTest t;
        failed += QTest::qExec(&t, argc, argv);
    }
    return failed;
}

#include "DialogsTest.moc"
