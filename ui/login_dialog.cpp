#include "ui/login_dialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <QValidator>

#include "ui/artwork.h"
#include "ui/main_dialog.h"
#include "ui/message_box.h"
#include "ui/skin_button.h"

namespace {

// Keeps a login field within what the protocol can carry (CP949 bytes of the login body and
// of the account query) and within the field's visible width: the field does not scroll.
class CLoginFieldValidator : public QValidator {
public:
    CLoginFieldValidator(QLineEdit* pSelf, QLineEdit* pOther, bool bIsId)
        : QValidator(pSelf), m_pSelf(pSelf), m_pOther(pOther), m_bIsId(bIsId) {}

    State validate(QString& strInput, int&) const override {
        std::string strText = strInput.toStdString();
        std::string strOther = m_pOther->text().toStdString();
        bool bFits =
            m_bIsId ? LoginInputFits(strText, strOther) : LoginInputFits(strOther, strText);
        if (!bFits)
            return Invalid;
        QString strShown = m_pSelf->echoMode() == QLineEdit::Password
                               ? QString(strInput.size(), QChar(0x25CF))
                               : strInput;
        QRect rectText = m_pSelf->contentsRect();
        int nRoom = rectText.width() - 4;  // the edit's inner margins
        if (m_pSelf->fontMetrics().horizontalAdvance(strShown) > nRoom)
            return Invalid;
        return Acceptable;
    }

private:
    QLineEdit* m_pSelf;
    QLineEdit* m_pOther;
    bool m_bIsId;
};

QLineEdit* MakeField(QWidget* pParent, QRect rect, const char* szName) {
    auto* pEdit = new QLineEdit(pParent);
    pEdit->setObjectName(QLatin1String(szName));
    pEdit->setGeometry(rect);
    pEdit->setFrame(false);
    // The field's frame and label are part of the artwork, which shows through.
    pEdit->setStyleSheet(QStringLiteral(
        "QLineEdit { background: transparent; color: black; border: none; padding: 0 2px; }"));
    pEdit->setAttribute(Qt::WA_MacShowFocusRect, false);
    return pEdit;
}

}  // namespace

CLoginDialog::CLoginDialog(CSettings& settings, BoxPresenter fnBoxes, QWidget* pParent)
    : QDialog(pParent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      m_fnBoxes(std::move(fnBoxes)),
      m_settings(settings),
      m_logic(*this, settings) {
    setObjectName(QStringLiteral("loginDialog"));
    setWindowTitle(QStringLiteral("ZAV"));
    setWindowIcon(artwork::AppIcon());
    setFont(artwork::DialogFont());
    setFixedSize(artwork::BitmapSize(artwork::IDB_LOGIN));

    m_pEditId = MakeField(this, artwork::DluRect(68, 106, 83, 12), "edit1000");
    m_pEditPw = MakeField(this, artwork::DluRect(68, 123, 83, 12), "edit1002");
    m_pEditPw->setEchoMode(QLineEdit::Password);
    m_pEditId->setValidator(new CLoginFieldValidator(m_pEditId, m_pEditPw, true));
    m_pEditPw->setValidator(new CLoginFieldValidator(m_pEditPw, m_pEditId, false));

    m_pBtnLogin = new CSkinButton(this);
    m_pBtnLogin->setObjectName(QStringLiteral("button1001"));
    m_pBtnLogin->setGeometry(artwork::DluRect(158, 102, 49, 33));
    m_pBtnLogin->setFocusPolicy(Qt::TabFocus);
    connect(m_pBtnLogin, &QAbstractButton::clicked, this, &CLoginDialog::OnLogin);

    // Set-up of the login button.
    m_pBtnLogin->SetHoverCursor(artwork::IDCUR_HAND);
    m_pBtnLogin->EnableBorder(false);
    m_pBtnLogin->UseParentBackground(false);
    m_pBtnLogin->LoadImages(artwork::IDB_LOGIN_HOVER, Qt::black, artwork::IDB_LOGIN_NORMAL,
                            Qt::black, artwork::IDB_LOGIN_PRESSED, Qt::black);

    m_pixBackground = artwork::BitmapPixmap(artwork::IDB_LOGIN, devicePixelRatioF());
    setTabOrder(m_pEditId, m_pEditPw);
    m_pEditId->setFocus();
    qApp->installEventFilter(this);
}

CLoginDialog::~CLoginDialog() {
    qApp->removeEventFilter(this);
}

void CLoginDialog::paintEvent(QPaintEvent*) {
    if (m_pixBackground.devicePixelRatio() != devicePixelRatioF())  // moved to another screen
        m_pixBackground = artwork::BitmapPixmap(artwork::IDB_LOGIN, devicePixelRatioF());
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_pixBackground);
}

void CLoginDialog::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    QTimer::singleShot(0, this, [this] {
        AppendControlMap(kLoginWindowName, {artwork::ScreenRect(IDC_LOGIN_ID, m_pEditId),
                                            artwork::ScreenRect(IDC_LOGIN, m_pBtnLogin),
                                            artwork::ScreenRect(IDC_LOGIN_PW, m_pEditPw)});
    });
}

bool CLoginDialog::eventFilter(QObject* pWatched, QEvent* pEvent) {
    // Escape never closes the dialog; Enter logs in wherever the focus is.
    if (pEvent->type() == QEvent::KeyPress && pWatched->isWidgetType() &&
        static_cast<QWidget*>(pWatched)->window() == this && isVisible()) {
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (pKey->key() == Qt::Key_Escape)
            return true;
        if (pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) {
            OnLogin();
            return true;
        }
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

void CLoginDialog::OnLogin() {
    SLoginOutcome outcome =
        m_logic.OnLogin(m_pEditId->text().toStdString(), m_pEditPw->text().toStdString());
    if (!outcome.bLoggedIn) {
        (outcome.eFocus == ELoginFocus::Pw ? m_pEditPw : m_pEditId)->setFocus();
        return;
    }
    hide();
    if (m_fnRunMain) {
        m_fnRunMain();
    } else {
        RunMainWindow();
    }
    // The main window has closed: the program ends with it.
    done(QDialog::Accepted);
}

void CLoginDialog::RunMainWindow() {
    CMainDialog dlg(m_settings, m_fnBoxes);
    dlg.setWindowIcon(windowIcon());
    dlg.exec();
}

void CLoginDialog::Message(const std::string& strText) {
    m_fnBoxes(this, EBoxKind::Message, strText);
}

bool CLoginDialog::Confirm(const std::string& strText) {
    return m_fnBoxes(this, EBoxKind::Confirm, strText);
}
