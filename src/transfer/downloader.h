#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkReply;
struct HttpResponse;

// One file from a server path into a folder, through a ".part" side file that a later download
// with resume continues by a ranged request. Connect the signals before start(); the job
// deletes itself after success and stays (with its side file) after a failure.
class Downloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Downloader)

public:
    explicit Downloader(QObject *parent = nullptr);
    ~Downloader() override;

    // fileName is made safe (see safeFileName) before it is joined to dir. Call once.
    void start(const QString &path, const QString &dir, const QString &fileName, bool resume);

    QString absPath() const { return m_absPath; }
    QString partPath() const { return m_partPath; }

signals:
    void sigProgress(qlonglong done, qlonglong total, qlonglong speed, int etaSec);
    void sigDone(QString absPath);
    void sigFailed(QString err);

private:
    void request();
    void onProgress(qint64 received, qint64 replyTotal);
    void onDone(const HttpResponse &response);
    // 416 to a ranged request: true when the side file already is the whole file.
    bool sideFileIsComplete() const;
    void finish();
    bool finalize();

    QString m_path;
    QString m_absPath;
    QString m_partPath;
    qint64 m_baseOffset = 0;
    qint64 m_total = 0;
    qint64 m_startMs = 0;
    bool m_ranged = false;
    bool m_restarted = false;
    QPointer<QNetworkReply> m_reply;
};
