// The login dialog and the main window against a live zav-service: keys, initial states,
// the close rule, calls from worker threads, the message log, and screenshots of both windows
// (saved as PNG files in the build folder).
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <memory>
#include <thread>

#include "app/auth_reply.h"
#include "app/game_folder.h"
#include "app/server_config.h"
#include "app/settings.h"
#include "net/http_request.h"
#include "support/live_service.h"
#include "ui/artwork.h"
#include "ui/login_dialog.h"
#include "ui/main_dialog.h"
#include "ui/message_box.h"
#include "ui/skin_button.h"
#include "ui/web_browser2.h"

namespace {

struct SBox {
    EBoxKind eKind;
    QString strText;
    bool bOnUiThread;
};

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<CLiveService> m_pService;
    QList<SBox> m_boxes;
    bool m_bConfirmAnswer = true;
    QString m_strGameFolder;

    QStringList Texts() const {
        QStringList list;
        for (const SBox& box : m_boxes)
            list << box.strText;
        return list;
    }
    static QString Screenshot(const char* szName) {
        return QStringLiteral(ZAV_BINARY_DIR "/") + QLatin1String(szName);
    }
    // Shows the windows' boxes by recording them, answered with m_bConfirmAnswer.
    BoxPresenter Recorder() {
        return [this](QWidget*, EBoxKind eKind, const std::string& strText) {
            m_boxes.append({eKind, QString::fromStdString(strText),
                            QThread::currentThread() == qApp->thread()});
            return m_bConfirmAnswer;
        };
    }
    // Settings that point at the service.
    void Prepare(CSettings& settings) const { settings.m_endpoints = m_pService->Endpoints(); }
    // Accepts the next real box as soon as it shows, and reports what it showed.
    void AcceptNextBox(QString* pText, Qt::TextFormat* pFormat = nullptr) {
        QTimer::singleShot(0, [pText, pFormat] {
            QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            *pText = pBox->text();
            if (pFormat != nullptr)
                *pFormat = pBox->textFormat();
            pBox->accept();
        });
    }
    // A main window of a member logged in through the service, set up and shown.
    std::unique_ptr<CMainDialog> OpenMainWindow(CSettings& settings) {
        Prepare(settings);
        CBoxMessageView view(nullptr, Recorder());
        if (settings.LoadServerConfig(view) != EConfigLoad::Loaded)
            return nullptr;
        CLoginLogic logic(view, settings);
        if (!logic.OnLogin("gamer01", "zavdemo").bLoggedIn)
            return nullptr;
        auto pDialog = std::make_unique<CMainDialog>(settings, Recorder());
        pDialog->OnInitDialog();
        pDialog->show();
        QApplication::setActiveWindow(pDialog.get());
        return pDialog;
    }

private slots:
    void initTestCase() {
        artwork::ApplyApplicationLook();
        QVERIFY(HttpGlobalInit());  // before the web view's worker makes its first request
        QVERIFY(m_dir.isValid());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        qputenv("WINEPREFIX", m_dir.filePath(QStringLiteral("no-wine")).toUtf8());
        qputenv("ZAV_MESSAGE_LOG", m_dir.filePath(QStringLiteral("messages.jsonl")).toUtf8());
        m_strGameFolder = m_dir.filePath(QStringLiteral("World of Warcraft")) + QLatin1Char('/');
        QVERIFY(QDir().mkpath(m_strGameFolder));
        QCOMPARE(RegWriteString(kInstallPathValue, m_strGameFolder.toUtf8().constData(),
                                ERegRoot::LocalMachine),
                 1);

        m_pService =
            std::make_unique<CLiveService>(std::vector<std::string>{"--max-upload-mb", "20"});
        QVERIFY(m_pService->IsRunning());
        QVERIFY(m_pService->AddMember("gamer01", "zavdemo", "용감한전사"));
    }
    void cleanupTestCase() { m_pService.reset(); }
    void init() { m_boxes.clear(); }

    void LoginKeysAndMessages() {
        CSettings settings;
        Prepare(settings);
        CLoginDialog dlg(settings, Recorder());
        bool bMainRan = false;
        bool bHiddenDuringMain = false;
        dlg.SetMainWindowRunner([&] {
            bMainRan = true;
            bHiddenDuringMain = !dlg.isVisible();
        });
        dlg.show();
        QApplication::setActiveWindow(&dlg);
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QCOMPARE(QApplication::focusWidget(), dlg.IdEdit());

        QTest::keyClick(dlg.IdEdit(), Qt::Key_Escape);
        QVERIFY(dlg.isVisible());
        QVERIFY(m_boxes.isEmpty());

        QTest::keyClick(dlg.IdEdit(), Qt::Key_Return);
        QCOMPARE(Texts(), QStringList{QStringLiteral("아이디를 입력하십시오.")});
        QTest::keyClicks(dlg.IdEdit(), QStringLiteral("gamer01"));
        QTest::keyClick(dlg.IdEdit(), Qt::Key_Enter);
        QCOMPARE(Texts().last(), QStringLiteral("패스워드를 입력하십시오."));
        QCOMPARE(QApplication::focusWidget(), dlg.PwEdit());

        // A refusal shows the service's text; the fields keep what was typed.
        QTest::keyClicks(dlg.PwEdit(), QStringLiteral("wrong"));
        QTest::keyClick(dlg.PwEdit(), Qt::Key_Return);
        QCOMPARE(Texts().last(), QStringLiteral("아이디 또는 비밀번호가 올바르지 않습니다."));
        QCOMPARE(dlg.IdEdit()->text(), QStringLiteral("gamer01"));
        QCOMPARE(dlg.PwEdit()->text(), QStringLiteral("wrong"));
        QCOMPARE(QApplication::focusWidget(), dlg.IdEdit());
        QVERIFY(!bMainRan);

        QImage shot = dlg.grab().toImage();
        QVERIFY(shot.save(Screenshot("login.png")));

        // Enter while the login button has the focus logs in too.
        dlg.PwEdit()->clear();
        QTest::keyClicks(dlg.PwEdit(), QStringLiteral("zavdemo"));
        dlg.LoginButton()->setFocus();
        QTest::keyClick(dlg.LoginButton(), Qt::Key_Return);
        QVERIFY(bMainRan);
        QVERIFY(bHiddenDuringMain);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(settings.GetId(), std::string("gamer01"));
        QCOMPARE(settings.GetNickname(), std::string("용감한전사"));
        QCOMPARE(m_boxes.size(), 3);
    }

    void LoginFieldsTakeNoMoreThanTheProtocolCarries() {
        CSettings settings;
        Prepare(settings);
        CLoginDialog dlg(settings, Recorder());
        dlg.show();
        QTest::keyClicks(dlg.IdEdit(), QString(60, QLatin1Char('i')));
        QTest::keyClicks(dlg.PwEdit(), QString(100, QLatin1Char('l')));
        const std::string strId = dlg.IdEdit()->text().toStdString();
        const std::string strPw = dlg.PwEdit()->text().toStdString();
        QVERIFY(!strId.empty());
        QVERIFY(strId.size() <= kMaxAuthIdBytes);
        QVERIFY(LoginInputFits(strId, strPw));
        // The fields do not scroll: typing stops at the visible width.
        dlg.IdEdit()->clear();
        QTest::keyClicks(dlg.IdEdit(), QString(60, QLatin1Char('W')));
        QVERIFY(dlg.IdEdit()->text().size() < 38);
        QVERIFY(dlg.IdEdit()->inputMethodQuery(Qt::ImCursorRectangle).toRect().right() <=
                dlg.IdEdit()->width());
        // A character without a CP949 code is not taken.
        dlg.IdEdit()->clear();
        for (const QString& strPart :
             {QStringLiteral("a"), QStringLiteral("😀"), QStringLiteral("b")})
            dlg.IdEdit()->insert(strPart);
        QCOMPARE(dlg.IdEdit()->text(), QStringLiteral("ab"));
    }

    void MainWindowAfterLogin() {
        CSettings settings;
        std::unique_ptr<CMainDialog> pDialog = OpenMainWindow(settings);
        QVERIFY(pDialog);
        QVERIFY(QTest::qWaitForWindowExposed(pDialog.get()));
        QCOMPARE(pDialog->size(), QSize(644, 433));
        QCOMPARE(pDialog->windowTitle(), QStringLiteral("ZAV"));
        QVERIFY(m_boxes.isEmpty());

        auto checked = [&](int nId) { return pDialog->IsChecked(nId); };
        QVERIFY(checked(IDC_BACKUP_ADDON));
        QVERIFY(checked(IDC_BACKUP_CACHE));
        QVERIFY(!checked(IDC_BACKUP_FONT));
        QVERIFY(checked(IDC_MODE_AUTO));
        QVERIFY(!checked(IDC_MODE_MANUAL));
        QVERIFY(!checked(IDC_RESTORE_ADDON));
        QCOMPARE(pDialog->GetText(IDC_REGISTRY_PATH), m_strGameFolder.toStdString());
        QCOMPARE(pDialog->GetText(IDC_NICKNAME), std::string("용감한전사"));
        QCOMPARE(pDialog->GetText(IDC_TOTAL_USAGE), std::string("총사용량:0.0M/20M"));
        QCOMPARE(pDialog->GetText(IDC_LAST_UPLOAD), std::string("업로드 하신 내용이 없습니다."));
        QCOMPARE(pDialog->Control(IDC_BROWSER)->size(), QSize(288, 136));
        QTRY_VERIFY_WITH_TIMEOUT(pDialog->Browser()->IsLoaded(), 20000);
        QVERIFY(pDialog->Browser()->toPlainText().contains(QStringLiteral("게임 설정")));
        // The page's image came through the program's HTTP layer.
        QImage logo = qvariant_cast<QImage>(pDialog->Browser()->document()->resource(
            QTextDocument::ImageResource, QUrl(QStringLiteral("logo.png"))));
        QVERIFY(!logo.isNull());
        QVERIFY(!pDialog->Browser()->horizontalScrollBar()->isVisible());
        QVERIFY(!pDialog->Browser()->verticalScrollBar()->isVisible());

        // Escape and Enter do nothing here.
        QTest::keyClick(pDialog->Control(IDC_MANUAL_PATH), Qt::Key_Escape);
        QTest::keyClick(pDialog->Control(IDC_BACKUP_ADDON), Qt::Key_Return);
        QVERIFY(pDialog->isVisible());
        QVERIFY(m_boxes.isEmpty());

        QVERIFY(pDialog->grab().toImage().save(Screenshot("main.png")));

        // The backup button under the mouse, then pressed: its hover and pressed faces.
        CSkinButton* pBackup = pDialog->SkinButton(IDC_BACKUP);
        QVERIFY(QTest::qWaitForWindowActive(pDialog.get()));
        QTest::mouseMove(pBackup, pBackup->rect().center());
        QTRY_VERIFY(pBackup->IsHover());
        QCOMPARE(pBackup->CurrentImage(), 1);
        QVERIFY(pDialog->grab().toImage().save(Screenshot("main_hover.png")));
        QTest::mousePress(pBackup, Qt::LeftButton, {}, pBackup->rect().center());
        QCOMPARE(pBackup->CurrentImage(), 3);
        QVERIFY(
            pDialog->grab(QRect(0, 90, 200, 90)).toImage().save(Screenshot("main_pressed.png")));
        // Dragged off and released there: the normal face again, and no click.
        QSignalSpy clicked(pBackup, &QAbstractButton::clicked);
        // (The button keeps the mouse while it is held, so the moves and the release go to it.)
        const QPoint outside(-40, -40);
        QTest::mouseMove(pBackup, outside);
        QTRY_VERIFY(!pBackup->IsHover());
        QCOMPARE(pBackup->CurrentImage(), 2);
        QTest::mouseRelease(pBackup, Qt::LeftButton, {}, outside);
        QCOMPARE(clicked.count(), 0);
        QVERIFY(m_boxes.isEmpty());

        // The progress band: painted from bitmap 143's rows, from the left edge.
        pDialog->Logic().SetProgress(60, 100, EProgressMode::Plain);
        QCOMPARE(pDialog->ProgressWidth(), 156);
        QImage shot = pDialog->grab().toImage();
        const qreal dDpr = shot.devicePixelRatio();
        QCOMPARE(shot.pixelColor(QPoint(352, 399) * dDpr), QColor(95, 173, 209));
        QCOMPARE(shot.pixelColor(QPoint(500, 404) * dDpr), QColor(29, 98, 138));
        QVERIFY(shot.pixelColor(QPoint(520, 401) * dDpr) != QColor(50, 136, 182));
        QVERIFY(shot.save(Screenshot("main_progress.png")));
    }

    void CloseIsRefusedWhileATransferRuns() {
        CSettings settings;
        std::unique_ptr<CMainDialog> pDialog = OpenMainWindow(settings);
        QVERIFY(pDialog);
        CTransferClaim running = pDialog->Logic().TryClaim();
        pDialog->close();
        running.Release();
        QVERIFY(pDialog->isVisible());
        QCOMPARE(Texts(), QStringList{QStringLiteral("진행중입니다. 잠시만 기다려주십시오.")});
        pDialog->close();
        QVERIFY(!pDialog->isVisible());
        QCOMPARE(m_boxes.size(), 1);
    }

    void WorkerCallsAreCarriedToTheUiThread() {
        CSettings settings;
        std::unique_ptr<CMainDialog> pDialog = OpenMainWindow(settings);
        QVERIFY(pDialog);
        m_bConfirmAnswer = false;
        std::atomic<bool> bDone{false};
        bool bConfirmed = true;
        bool bFontChecked = true;
        std::thread worker([&] {
            pDialog->SetProgressWidth(26);
            pDialog->Message("업로드가 완료되었습니다.");
            bConfirmed = pDialog->Confirm("계속하시겠습니까?");
            pDialog->SetText(IDC_WDB_USAGE, "9.9M");
            bFontChecked = pDialog->IsChecked(IDC_BACKUP_FONT);
            bDone = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(bDone.load(), 10000);
        worker.join();
        m_bConfirmAnswer = true;
        QVERIFY(!bConfirmed);
        QVERIFY(!bFontChecked);
        QCOMPARE(m_boxes.size(), 2);
        QVERIFY(m_boxes[0].bOnUiThread && m_boxes[1].bOnUiThread);
        QCOMPARE(m_boxes[1].eKind, EBoxKind::Confirm);
        QCOMPARE(qobject_cast<QLabel*>(pDialog->Control(IDC_WDB_USAGE))->text(),
                 QStringLiteral("9.9M"));
        QTRY_COMPARE(pDialog->ProgressWidth(), 26);
    }

    void TypedFolderCountsOnceItsEditIsFinished() {
        CSettings settings;
        std::unique_ptr<CMainDialog> pDialog = OpenMainWindow(settings);
        QVERIFY(pDialog);
        qobject_cast<QAbstractButton*>(pDialog->Control(IDC_MODE_MANUAL))->click();
        auto* pEdit = qobject_cast<QLineEdit*>(pDialog->Control(IDC_MANUAL_PATH));
        const QString strTyped = m_dir.filePath(QStringLiteral("Typed WoW"));
        pEdit->setFocus();
        QTest::keyClicks(pEdit, strTyped);
        pEdit->clearFocus();
        QCOMPARE(QString::fromUtf8(settings.GetGameFolder()), strTyped + QLatin1Char('/'));
        QCOMPARE(pEdit->text(), strTyped + QLatin1Char('/'));
        QVERIFY(QDir(strTyped + QStringLiteral("/Ralum/Temp")).exists());
    }

    // The real boxes: server texts carry "<br>", shown as they stand; the folder picker has its
    // title.
    void BoxesShowPlainTextAndThePickerItsTitle() {
        QString strShownText;
        Qt::TextFormat eFormat = Qt::RichText;
        AcceptNextBox(&strShownText, &eFormat);
        ShowMessageBox(nullptr, EBoxKind::Message, "+OK<br>서버 점검 중입니다.");
        QCOMPARE(eFormat, Qt::PlainText);
        QCOMPARE(strShownText, QStringLiteral("+OK<br>서버 점검 중입니다."));

        CSettings settings;
        std::unique_ptr<CMainDialog> pDialog = OpenMainWindow(settings);
        QVERIFY(pDialog);
        QString strTitle;
        QTimer::singleShot(0, [&] {
            QTRY_VERIFY(qobject_cast<QFileDialog*>(QApplication::activeModalWidget()));
            auto* pPicker = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            strTitle = pPicker->windowTitle();
            pPicker->reject();
        });
        const SFolderPick pick = pDialog->PickFolder();
        QCOMPARE(strTitle, QStringLiteral("대상 폴더 선택"));
        QCOMPARE(pick.eKind, SFolderPick::Cancelled);
    }

    // ZAV_CONTROL_MAP: each window, once shown, names every control with its screen rectangle.
    void ControlMapNamesEveryControlWhereItIsOnTheScreen() {
        const QString strMap = m_dir.filePath(QStringLiteral("controls.jsonl"));
        QFile::remove(strMap);
        qputenv("ZAV_CONTROL_MAP", strMap.toUtf8());
        auto readMap = [&] {
            QList<QJsonObject> lines;
            QFile file(strMap);
            if (file.open(QIODevice::ReadOnly)) {
                for (const QByteArray& line : file.readAll().split('\n'))
                    if (!line.isEmpty())
                        lines << QJsonDocument::fromJson(line).object();
            }
            return lines;
        };
        auto screenRect = [](const QWidget* pWidget) {
            return QRect(pWidget->mapToGlobal(QPoint(0, 0)), pWidget->size());
        };
        auto rectOf = [](const QJsonObject& line) {
            return QRect(line[QStringLiteral("x")].toInt(), line[QStringLiteral("y")].toInt(),
                         line[QStringLiteral("w")].toInt(), line[QStringLiteral("h")].toInt());
        };

        CSettings settings;
        Prepare(settings);
        CLoginDialog login(settings, Recorder());
        login.move(40, 30);
        login.show();
        QTRY_COMPARE(readMap().size(), 3);
        const QList<QJsonObject> loginLines = readMap();
        const std::map<int, QWidget*> loginControls = {{IDC_LOGIN_ID, login.IdEdit()},
                                                       {IDC_LOGIN, login.LoginButton()},
                                                       {IDC_LOGIN_PW, login.PwEdit()}};
        for (const QJsonObject& line : loginLines) {
            QCOMPARE(line[QStringLiteral("window")].toString(), QStringLiteral("login"));
            auto it = loginControls.find(line[QStringLiteral("id")].toInt());
            QVERIFY(it != loginControls.end());
            QCOMPARE(rectOf(line), screenRect(it->second));
        }
        // The id field, 68, 106 dialog units into the window.
        QCOMPARE(rectOf(loginLines[0]).topLeft(), login.mapToGlobal(QPoint(119, 159)));
        login.hide();

        std::unique_ptr<CMainDialog> pDialog = OpenMainWindow(settings);
        QVERIFY(pDialog);
        QTRY_COMPARE(readMap().size(), 3 + 22);
        QSet<int> ids;
        for (const QJsonObject& line : readMap().mid(3)) {
            QCOMPARE(line[QStringLiteral("window")].toString(), QStringLiteral("main"));
            const int nId = line[QStringLiteral("id")].toInt();
            QWidget* pControl = pDialog->Control(nId);
            QVERIFY2(pControl != nullptr, qPrintable(QString::number(nId)));
            QCOMPARE(rectOf(line), screenRect(pControl));
            ids.insert(nId);
        }
        QCOMPARE(ids.size(), 22);
        qunsetenv("ZAV_CONTROL_MAP");
    }

    void MessageLogHasOneJsonLinePerBox() {
        QFile::remove(m_dir.filePath(QStringLiteral("messages.jsonl")));
        QString strShown;
        AcceptNextBox(&strShown);
        ShowMessageBox(nullptr, EBoxKind::Message, "일시적인 \"장애\"\n\\끝");
        AcceptNextBox(&strShown);
        ShowMessageBox(nullptr, EBoxKind::Confirm, "삭제하시겠습니까?");
        QCOMPARE(strShown, QStringLiteral("삭제하시겠습니까?"));
        QFile file(m_dir.filePath(QStringLiteral("messages.jsonl")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(
            QString::fromUtf8(file.readAll()),
            QStringLiteral("{\"kind\": \"message\", \"text\": \"일시적인 \\\"장애\\\"\\n\\\\끝\"}\n"
                           "{\"kind\": \"confirm\", \"text\": \"삭제하시겠습니까?\"}\n"));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
