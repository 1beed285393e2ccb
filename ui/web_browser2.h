// The main window's web view: a light HTML view that loads one page of the service (and the
// images it shows) through the program's HTTP layer on a worker thread (app/page_banner.h picks
// the pictures and resolves the addresses). No scroll bars; links open in the system's web
// browser.
#pragma once

#include <QHash>
#include <QImage>
#include <QTextBrowser>
#include <QUrl>
#include <stop_token>
#include <thread>

class CWebBrowser2 : public QTextBrowser {
    Q_OBJECT

public:
    explicit CWebBrowser2(QWidget* pParent = nullptr);
    ~CWebBrowser2() override;  // stops and joins a running fetch

    // Starts loading strUrl (flags, target frame, post data and headers are not used).
    void Navigate(const QString& strUrl);
    // The view's size in pixels.
    void SetWidth(int nWidth);
    void SetHeight(int nHeight);

    bool IsLoaded() const { return m_bLoaded; }

signals:
    // The page has been shown (bOk) or could not be fetched.
    void Loaded(bool bOk);

protected:
    QVariant loadResource(int nType, const QUrl& name) override;

private:
    void ShowPage(const QUrl& pageUrl, const QString& strHtml, const QHash<QString, QImage>& images,
                  bool bOk);
    void OnAnchor(const QUrl& url);
    // url resolved against the page's address.
    QString Resolved(const QUrl& url) const;

    QHash<QString, QImage> m_images;
    bool m_bLoaded = false;
    std::jthread m_fetch;
};
