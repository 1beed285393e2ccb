#include "ui/web_browser2.h"

#include <QScrollBar>

#include "app/page_banner.h"
#include "platform/browser_opener.h"

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
    m_fetch = std::jthread([this, strPageUrl = strUrl.toStdString()](const std::stop_token& stop) {
        // The page and its pictures through the program's HTTP layer (app/page_banner.h).
        SLoadedPage page = LoadPage(strPageUrl, stop);
        QHash<QString, QImage> images;
        for (const auto& [strSource, strData] : page.mapImages) {
            QImage image = QImage::fromData(
                QByteArray::fromRawData(strData.data(), static_cast<qsizetype>(strData.size())));
            if (!image.isNull())
                images.insert(QString::fromStdString(strSource), image);
        }
        if (stop.stop_requested())
            return;
        // The widget is alive until this thread has been joined; the queued call is dropped
        // if the widget goes first.
        QMetaObject::invokeMethod(
            this,
            [this, pageUrl = QUrl(QString::fromStdString(strPageUrl)),
             strHtml = QString::fromStdString(page.strHtml), images,
             bOk = page.bOk] { ShowPage(pageUrl, strHtml, images, bOk); },
            Qt::QueuedConnection);
    });
}

QString CWebBrowser2::Resolved(const QUrl& url) const {
    return QString::fromStdString(
        ResolveUrl(document()->baseUrl().toString().toStdString(), url.toString().toStdString()));
}

void CWebBrowser2::ShowPage(const QUrl& pageUrl, const QString& strHtml,
                            const QHash<QString, QImage>& images, bool bOk) {
    m_images = images;
    document()->setBaseUrl(pageUrl);
    setHtml(strHtml);
    m_bLoaded = bOk;
    emit Loaded(bOk);
}

QVariant CWebBrowser2::loadResource(int nType, const QUrl& name) {
    if (nType == QTextDocument::ImageResource) {
        auto it = m_images.constFind(Resolved(name));
        if (it != m_images.constEnd())
            return *it;
        return {};  // never fetched on the UI thread
    }
    return {};
}

void CWebBrowser2::OnAnchor(const QUrl& url) {
    const std::string strUrl = Resolved(url).toStdString();
    if (IsWebAddress(strUrl))
        OpenInBrowser(strUrl);
}
