#include "ui/main_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>
#include <QThread>
#include <QTimer>
#include <type_traits>

#include "app/app_messages.h"
#include "net/endpoints.h"
#include "ui/artwork.h"
#include "ui/message_box.h"
#include "ui/skin_button.h"
#include "ui/ui_texts.h"
#include "ui/web_browser2.h"

namespace {

constexpr const char* kUsageStyle = "QLabel { color: rgb(0, 54, 255); background: transparent; }";

// Black text on whatever the artwork shows (the button paints no background of its own).
void SetBlackText(QWidget* pWidget) {
    QPalette palette = pWidget->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    pWidget->setPalette(palette);
    pWidget->setAutoFillBackground(false);
}

QString ObjectName(int nId) {
    return QStringLiteral("control%1").arg(nId);
}

// Statics are 8 units (12 pixels) high; the text gets a little more room so that descenders
// of the 12-pixel face are not cut.
QRect StaticRect(int x, int y, int cx, int cy) {
    QRect rect = artwork::DluRect(x, y, cx, cy);
    return rect.adjusted(0, -1, 0, 2);
}

}  // namespace

CMainDialog::CMainDialog(CSettings& settings, BoxPresenter fnBoxes, QWidget* pParent)
    : QDialog(pParent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      m_fnBoxes(std::move(fnBoxes)),
      m_logic(*this, settings) {
    setObjectName(QStringLiteral("mainDialog"));
    setWindowTitle(QStringLiteral("ZAV"));
    setWindowIcon(artwork::AppIcon());
    setFont(artwork::DialogFont());
    setFixedSize(artwork::BitmapSize(artwork::IDB_MAIN));
    CreateControls();
    qApp->installEventFilter(this);
}

CMainDialog::~CMainDialog() {
    qApp->removeEventFilter(this);
    while (m_nWaitCursor > 0) {
        QApplication::restoreOverrideCursor();
        --m_nWaitCursor;
    }
}

void CMainDialog::CreateControls() {
    auto addButton = [this](int nId, QRect rect, std::function<void()> fnHandler) {
        auto* pButton = new CSkinButton(this);
        pButton->setObjectName(ObjectName(nId));
        pButton->setGeometry(rect);
        pButton->setFocusPolicy(Qt::TabFocus);
        connect(pButton, &QAbstractButton::clicked, this, std::move(fnHandler));
        m_mapControls[nId] = pButton;
    };
    auto addCheck = [this](int nId, QRect rect, const char* szText) {
        auto* pBox = new QCheckBox(QString::fromUtf8(szText), this);
        pBox->setObjectName(ObjectName(nId));
        pBox->setGeometry(rect);
        SetBlackText(pBox);
        m_mapControls[nId] = pBox;
    };
    auto addRadio = [this](int nId, QRect rect, const char* szText) {
        auto* pRadio = new QRadioButton(QString::fromUtf8(szText), this);
        pRadio->setObjectName(ObjectName(nId));
        pRadio->setGeometry(rect);
        SetBlackText(pRadio);
        connect(pRadio, &QAbstractButton::clicked, this, [this] { m_logic.OnGameFolderMode(); });
        m_mapControls[nId] = pRadio;
    };
    auto addStatic = [this](int nId, QRect rect, Qt::Alignment align, const char* szStyle) {
        auto* pLabel = new QLabel(this);
        pLabel->setObjectName(ObjectName(nId));
        pLabel->setGeometry(rect);
        pLabel->setAlignment(align | Qt::AlignVCenter);
        pLabel->setStyleSheet(QString::fromUtf8(szStyle));
        pLabel->setTextFormat(Qt::PlainText);
        m_mapControls[nId] = pLabel;
    };
    auto addEdit = [this](int nId, QRect rect, bool bReadOnly) {
        auto* pEdit = new QLineEdit(this);
        pEdit->setObjectName(ObjectName(nId));
        pEdit->setGeometry(rect);
        pEdit->setReadOnly(bReadOnly);
        pEdit->setMaxLength(kMaxPath - 1);
        pEdit->setStyleSheet(
            QStringLiteral("QLineEdit { color: rgb(117, 117, 117); background: white;"
                           " border: 1px solid rgb(165, 178, 196); padding: 0 2px; }"));
        m_mapControls[nId] = pEdit;
    };

    using artwork::DluRect;
    addButton(IDC_BACKUP, DluRect(14, 70, 81, 37), [this] { m_backup.OnBackup(); });
    addCheck(IDC_BACKUP_ADDON, DluRect(18, 111, 59, 10), kLabelAddon);
    addCheck(IDC_BACKUP_CACHE, DluRect(18, 125, 57, 10), kLabelCache);
    addCheck(IDC_BACKUP_FONT, DluRect(18, 139, 49, 10), kLabelFont);
    addButton(IDC_RESTORE, DluRect(274, 70, 81, 37), [this] { m_restore.OnRestore(); });
    addCheck(IDC_RESTORE_ADDON, DluRect(278, 111, 63, 10), kLabelAddon);
    addCheck(IDC_RESTORE_CACHE, DluRect(278, 125, 57, 10), kLabelCache);
    addCheck(IDC_RESTORE_FONT, DluRect(278, 139, 49, 10), kLabelFont);

    m_pBrowser = new CWebBrowser2(this);
    m_pBrowser->setObjectName(ObjectName(IDC_BROWSER));
    m_pBrowser->setGeometry(DluRect(102, 63, 164, 91));
    m_mapControls[IDC_BROWSER] = m_pBrowser;

    const char* kPlain = "QLabel { color: black; background: transparent; }";
    addStatic(IDC_NICKNAME, StaticRect(14, 197, 55, 8), Qt::AlignHCenter, kPlain);
    addStatic(IDC_TOTAL_USAGE, StaticRect(106, 197, 68, 8), Qt::AlignRight, kUsageStyle);
    addStatic(IDC_ADDON_USAGE, StaticRect(53, 219, 117, 8), Qt::AlignLeft, kUsageStyle);
    addStatic(IDC_WDB_USAGE, StaticRect(46, 233, 124, 8), Qt::AlignLeft, kUsageStyle);
    addStatic(IDC_FONTS_USAGE, StaticRect(46, 247, 124, 8), Qt::AlignLeft, kUsageStyle);
    addStatic(IDC_LAST_UPLOAD, StaticRect(69, 261, 101, 8), Qt::AlignLeft, kUsageStyle);

    addRadio(IDC_MODE_AUTO, DluRect(196, 196, 25, 10), kLabelModeAuto);
    addRadio(IDC_MODE_MANUAL, DluRect(196, 213, 25, 10), kLabelModeManual);
    addEdit(IDC_REGISTRY_PATH, DluRect(225, 197, 130, 14), true);
    addEdit(IDC_MANUAL_PATH, DluRect(225, 214, 85, 14), false);
    // A typed folder counts once its edit is finished, not only after a radio click.
    connect(qobject_cast<QLineEdit*>(Control(IDC_MANUAL_PATH)), &QLineEdit::editingFinished, this,
            [this] { m_logic.OnManualPathEdited(); });
    addButton(IDC_BROWSE, DluRect(313, 213, 43, 14), [this] { m_logic.OnBrowseFolder(); });
    addButton(IDC_INITIALIZE, DluRect(200, 239, 62, 16), [this] { m_maintenance.OnInitialize(); });
    addButton(IDC_REMOVE_ALL, DluRect(264, 239, 87, 16), [this] { m_maintenance.OnRemoveAll(); });

    // Only two bold fonts: the radios and the nickname, and the total use.
    QFont fontBold12 = artwork::BoldFont(12);
    Control(IDC_MODE_AUTO)->setFont(fontBold12);
    Control(IDC_MODE_MANUAL)->setFont(fontBold12);
    Control(IDC_NICKNAME)->setFont(fontBold12);
    Control(IDC_TOTAL_USAGE)->setFont(artwork::BoldFont(11));
}

QWidget* CMainDialog::Control(int nId) const {
    auto it = m_mapControls.find(nId);
    return it == m_mapControls.end() ? nullptr : it->second;
}

CSkinButton* CMainDialog::SkinButton(int nId) const {
    return qobject_cast<CSkinButton*>(Control(nId));
}

void CMainDialog::LoadArtwork() {
    m_pixBackground = artwork::BitmapPixmap(artwork::IDB_MAIN, devicePixelRatioF());
    m_pixProgress = artwork::BitmapPixmap(artwork::IDB_PROGRESS, devicePixelRatioF());
}

void CMainDialog::OnInitDialog() {
    if (m_bInitDone)
        return;
    m_bInitDone = true;
    LoadArtwork();

    m_pBrowser->SetWidth(288);
    m_pBrowser->SetHeight(136);
    m_pBrowser->Navigate(QString::fromStdString(m_logic.Settings().m_endpoints.LogoUrl()));

    const auto& faces = res::kMainButtonFaces;
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->SetHoverCursor(artwork::IDCUR_HAND);
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->EnableBorder(false);
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->UseParentBackground(false);
    for (const res::SButtonFaces& f : faces) {
        SkinButton(f.nControlId)
            ->LoadImages(f.nHover, Qt::black, f.nNormal, Qt::black, f.nPressed, Qt::black);
    }
    m_logic.OnInitDialog();
    // A restore cut off by a crash or a power loss is settled before anything else runs.
    m_restore.OnWindowOpened();
}

int CMainDialog::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CMainDialog::reject() {
    // The close box: refused (with a message) while a transfer runs.
    if (m_logic.CanClose())
        QDialog::reject();
}

void CMainDialog::paintEvent(QPaintEvent*) {
    if (m_pixBackground.isNull() || m_pixBackground.devicePixelRatio() != devicePixelRatioF())
        LoadArtwork();
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_pixBackground);
    if (m_nProgressWidth > 0) {
        QRect band = ProgressRect();
        band.setWidth(m_nProgressWidth);
        painter.drawPixmap(band, m_pixProgress);
    }
}

void CMainDialog::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    QTimer::singleShot(0, this, [this] {
        std::vector<SControlRect> vecControls;
        for (const auto& [nId, pControl] : m_mapControls)
            vecControls.push_back(artwork::ScreenRect(nId, pControl));
        AppendControlMap(kMainWindowName, vecControls);
    });
}

bool CMainDialog::eventFilter(QObject* pWatched, QEvent* pEvent) {
    // Escape and Enter do nothing in this window: it closes only through its close box.
    if (pEvent->type() == QEvent::KeyPress && pWatched->isWidgetType() &&
        static_cast<QWidget*>(pWatched)->window() == this) {
        int nKey = static_cast<QKeyEvent*>(pEvent)->key();
        if (nKey == Qt::Key_Escape || nKey == Qt::Key_Return || nKey == Qt::Key_Enter)
            return true;
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

template <class F>
auto CMainDialog::OnUiThread(F&& fn) -> decltype(fn()) {
    if (QThread::currentThread() == thread())
        return fn();
    if constexpr (std::is_void_v<decltype(fn())>) {
        QMetaObject::invokeMethod(this, std::forward<F>(fn), Qt::BlockingQueuedConnection);
    } else {
        decltype(fn()) result{};
        QMetaObject::invokeMethod(
            this, [&] { result = fn(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

void CMainDialog::Message(const std::string& strText) {
    OnUiThread([&] { m_fnBoxes(this, EBoxKind::Message, strText); });
}

bool CMainDialog::Confirm(const std::string& strText) {
    return OnUiThread([&] { return m_fnBoxes(this, EBoxKind::Confirm, strText); });
}

bool CMainDialog::ConfirmDefaultNo(const std::string& strText) {
    return OnUiThread([&] { return m_fnBoxes(this, EBoxKind::ConfirmDefaultNo, strText); });
}

bool CMainDialog::IsChecked(int nId) {
    return OnUiThread([&] {
        auto* pButton = qobject_cast<QAbstractButton*>(Control(nId));
        return pButton != nullptr && pButton->isChecked();
    });
}

void CMainDialog::SetChecked(int nId, bool bChecked) {
    OnUiThread([&] {
        if (auto* pButton = qobject_cast<QAbstractButton*>(Control(nId)))
            pButton->setChecked(bChecked);
    });
}

std::string CMainDialog::GetText(int nId) {
    return OnUiThread([&] {
        QWidget* pControl = Control(nId);
        if (auto* pEdit = qobject_cast<QLineEdit*>(pControl))
            return pEdit->text().toStdString();
        if (auto* pLabel = qobject_cast<QLabel*>(pControl))
            return pLabel->text().toStdString();
        return std::string();
    });
}

void CMainDialog::SetText(int nId, const std::string& strText) {
    OnUiThread([&] {
        QWidget* pControl = Control(nId);
        QString strValue = QString::fromStdString(strText);
        if (auto* pEdit = qobject_cast<QLineEdit*>(pControl)) {
            pEdit->setText(strValue);
            pEdit->setCursorPosition(0);
        } else if (auto* pLabel = qobject_cast<QLabel*>(pControl)) {
            pLabel->setText(strValue);
        }
    });
}

void CMainDialog::SetProgressWidth(int nPixels) {
    // Stores the width and repaints the band; a worker does not wait for the paint.
    auto apply = [this, nPixels] {
        m_nProgressWidth = nPixels;
        update(ProgressRect());
    };
    if (QThread::currentThread() == thread()) {
        apply();
    } else {
        QMetaObject::invokeMethod(this, apply, Qt::QueuedConnection);
    }
}

void CMainDialog::SetWaitCursor(bool bOn) {
    OnUiThread([&] {
        if (bOn) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            ++m_nWaitCursor;
        } else if (m_nWaitCursor > 0) {
            QApplication::restoreOverrideCursor();
            --m_nWaitCursor;
        }
    });
}

void CMainDialog::KeepAlive() {
    OnUiThread([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
}

SFolderPick CMainDialog::PickFolder() {
    return OnUiThread([&] {
        if (m_fnPick)
            return m_fnPick();
        SFolderPick pick;
        QString strDir = QFileDialog::getExistingDirectory(
            this, QString::fromUtf8(kTitlePickFolder), QString(), QFileDialog::ShowDirsOnly);
        if (!strDir.isEmpty()) {
            pick.eKind = SFolderPick::Path;
            pick.strPath = strDir.toStdString();
        }
        return pick;
    });
}
