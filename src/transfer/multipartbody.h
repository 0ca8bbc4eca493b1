#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <memory>

class QFile;
class QTimer;

// A multipart/form-data body read straight from the files, for HttpClient::postBody. Unlike
// QHttpMultiPart it is sequential and paced by HttpClient's upload limiter: when the limiter has
// nothing to give, a read returns 0 bytes and readyRead follows once it has.
class MultipartBody final : public QIODevice
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MultipartBody)

public:
    explicit MultipartBody(QObject *parent = nullptr);
    ~MultipartBody() override;

    // A plain field.
    void addField(const QByteArray &name, const QByteArray &value);
    // A file field with the file's name and media type; false (nothing added) when the path
    // cannot be opened as a file, so folders and unreadable files are left out.
    bool addFile(const QByteArray &name, const QString &path);
    // Ends the body; call once, after the parts and before it is read.
    void finish();

    int fileCount() const { return m_fileCount; }
    qint64 length() const { return m_length; }
    QByteArray contentType() const;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    bool atEnd() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    struct Segment
    {
        QByteArray bytes;            // a boundary, headers or a field's value
        std::shared_ptr<QFile> file; // or a file's content
        qint64 size = 0;
    };

    void addBytes(const QByteArray &bytes);

    QByteArray m_boundary;
    QList<Segment> m_segments;
    int m_current = 0;
    qint64 m_offset = 0; // within the current segment
    qint64 m_length = 0;
    qint64 m_read = 0;
    int m_fileCount = 0;
    bool m_failed = false;
    QTimer *m_wake = nullptr;
};
