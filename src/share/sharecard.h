#pragma once

#include "ui/carddialog.h"

#include <QJsonObject>
#include <QString>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class QrCodeWidget;
struct HttpResponse;

// The card that makes a share link for one file or folder of the personal or a team space: first the
// choices (validity, extraction code, download), then, after 「创建链接」, the link, its code, its QR code
// and 「复制链接」. Failures stay on the card as a Chinese line, so the user can try again.
class ShareCard final : public Cdlg::CardDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShareCard)

public:
    // The validity choices in the order shown; 0 is a link that never expires.
    static constexpr int ValidDayChoices[] = {1, 7, 30, 0};
    static constexpr int DefaultValidDays = 7;
    static constexpr int CardWidth = 500;

    // record: the file record as listed; teamId empty for the personal space.
    ShareCard(QWidget *parent, const QJsonObject &record, const QString &teamId);
    ~ShareCard() override;

    // A card deleted on close, shown window-modal; returns at once.
    static ShareCard *openFor(QWidget *parent, const QJsonObject &record, const QString &teamId);

    int validDays() const;
    void setValidDays(int days);
    QCheckBox *withCodeBox() const { return m_withCode; }
    QCheckBox *allowDownloadBox() const { return m_allowDownload; }
    // Sends the choices; the footer button does this until a link exists.
    void createLink();
    // The link and code on the clipboard as one text.
    void copyLink();

    bool hasLink() const { return !m_url.isEmpty(); }
    QString url() const { return m_url; }
    QString code() const { return m_code; }
    QrCodeWidget *qrCode() const { return m_qr; }
    QLabel *errorLabel() const { return m_error; }

private:
    QWidget *buildSettings(const QJsonObject &record);
    QWidget *buildResult();
    void onCreated(const HttpResponse &response);
    void showError(const QString &text);

    QString m_fileId;
    QString m_teamId;
    bool m_busy = false;
    QString m_url;
    QString m_code;

    QWidget *m_settings = nullptr;
    QButtonGroup *m_days = nullptr;
    QCheckBox *m_withCode = nullptr;
    QCheckBox *m_allowDownload = nullptr;
    QLabel *m_error = nullptr;

    QWidget *m_result = nullptr;
    QrCodeWidget *m_qr = nullptr;
    QLineEdit *m_urlField = nullptr;
    QLabel *m_codeLabel = nullptr;
    QLabel *m_expiryLabel = nullptr;
    QLabel *m_copiedLabel = nullptr;
    QPushButton *m_copyButton = nullptr;
};
