#include "ui/web_browser2.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <optional>
#include <string>

#include "net/http_request.h"
#include "net/http_transfer.h"
#include "platform/browser_opener.h"
#include "platform/codepage.h"

namespace {

// Images larger than this are not shown (the logo page holds a banner or two).
constexpr size_t kMaxImageBytes = 4 * 1024 * 1024;

QByteArray FetchBinary(const QUrl& url, std::stop_token stop) {
    QByteArray data;
    CHttpTransfer transfer;
    SHttpResult result = transfer.Get(
        url.toString().toStdString(), {}, false, "", [&](const char* pData, size_t nSize) {
            if (stop.stop_requested() || static_cast<size_t>(data.size()) + nSize > kMaxImageBytes)
                return false;
            data.append(pData, static_cast<qsizetype>(nSize));
            return true;
        });
    if (!result.bTransportOk || result.nStatus < 200 || result.nStatus > 299)
        return {};
    return data;
}

}  // namespace

CWebBrowser2::CWebBrowser2(QWidget* pParent) : QTextBrowser(pParent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setUndoRedoEnabled(false);
    document()->setDocumentMargin(0);
    connect(this, &QTextBrowser::anchorClicked, this, &CWebBrowser2::OnAnchor);
}

CWebBrowser2::~CWebBrowser2() {
    m_fetch.request_stop();
    if (m_fetch.joinable())
        m_fetch.join();
}

void CWebBrowser2::SetWidth(int nWidth) {
    resize(nWidth, height());
}

void CWebBrowser2::SetHeight(int nHeight) {
    resize(width(), nHeight);
}

void CWebBrowser2::Navigate(const QString& strUrl) {
    m_fetch.request_stop();
    if (m_fetch.joinable())
        m_fetch.join();
    m_bLoaded = false;
    const QUrl pageUrl(strUrl);
    m_fetch = std::jthread([this, pageUrl](std::stop_token stop) {
        std::optional<std::string> page = HttpRequest(pageUrl.toString().toStdString(), kHttpGet);
        QString strHtml;
        if (page) {
            // The service's pages are UTF-8 or the Korean code page.
            std::string strUtf8 = IsValidUtf8(*page) ? *page : Cp949ToUtf8Lossy(*page);
            strHtml = QString::fromStdString(strUtf8);
        }
        QHash<QUrl, QImage> images;
        static const QRegularExpression reImage(
            QStringLiteral(R"(<img\b[^>]*?\bsrc\s*=\s*["']?([^"'\s>]+))"),
            QRegularExpression::CaseInsensitiveOption);
        for (auto it = reImage.globalMatch(strHtml); it.hasNext() && !stop.stop_requested();) {
            QUrl src(it.next().captured(1));
            QUrl absolute = pageUrl.resolved(src);
            if (images.contains(absolute) || !absolute.scheme().startsWith(QLatin1String("http")))
                continue;
            QImage image = QImage::fromData(FetchBinary(absolute, stop));
            if (!image.isNull())
                images.insert(absolute, image);
        }
        if (stop.stop_requested())
            return;
        // The widget is alive until this thread has been joined; the queued call is dropped
        // if the widget goes first.
        QMetaObject::invokeMethod(
            this,
            [this, pageUrl, strHtml, images, bOk = page.has_value()] {
                ShowPage(pageUrl, strHtml, images, bOk);
            },
            Qt::QueuedConnection);
    });
}

void CWebBrowser2::ShowPage(const QUrl& pageUrl, const QString& strHtml,
                            const QHash<QUrl, QImage>& images, bool bOk) {
    m_images = images;
    document()->setBaseUrl(pageUrl);
    setHtml(strHtml);
    m_bLoaded = bOk;
    emit Loaded(bOk);
}

QVariant CWebBrowser2::loadResource(int nType, const QUrl& name) {
    if (nType == QTextDocument::ImageResource) {
        QUrl absolute = document()->baseUrl().resolved(name);
        auto it = m_images.constFind(absolute);
        if (it != m_images.constEnd())
            return *it;
        return {};  // never fetched on the UI thread
    }
    return {};
}

void CWebBrowser2::OnAnchor(const QUrl& url) {
    QUrl absolute = document()->baseUrl().resolved(url);
    if (absolute.scheme() == QLatin1String("http") || absolute.scheme() == QLatin1String("https"))
        OpenInBrowser(absolute.toString().toStdString());
}
