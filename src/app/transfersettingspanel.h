#pragma once

#include "transfer/transfersettings.h"

#include <QWidget>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The transfer settings on the transfer list page: download folder, jobs at once, speed limits and
// proxy. "保存设置" checks them and hands them to saved(); nothing applies before that.
class TransferSettingsPanel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferSettingsPanel)

public:
    // Limits are entered in KB/s (1 KB = 1024 bytes).
    static constexpr int MaxLimitKb = 1024 * 1024;

    explicit TransferSettingsPanel(QWidget *parent = nullptr);

    // Shows settings in the fields.
    void load(const TransferSettings &settings);
    // What the fields say now.
    TransferSettings current() const;
    // Replaces the folder dialog (tests).
    using FolderChooser = std::function<QString(QWidget *parent, const QString &start)>;
    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }
    // Validates and, when valid, emits saved; the message line says how it went.
    void save();
    // Shows a problem that came after saving (the keyring's) on the message line.
    void showProblem(const QString &text);

signals:
    void saved(const TransferSettings &settings);

private:
    void updateEnabled();

    QLineEdit *m_folder = nullptr;
    QSpinBox *m_maxRunning = nullptr;
    QCheckBox *m_limitUp = nullptr;
    QSpinBox *m_upKb = nullptr;
    QCheckBox *m_limitDown = nullptr;
    QSpinBox *m_downKb = nullptr;
    QSpinBox *m_downloadStreams = nullptr;
    QComboBox *m_proxyMode = nullptr;
    QLineEdit *m_proxyHost = nullptr;
    QSpinBox *m_proxyPort = nullptr;
    QLineEdit *m_proxyUser = nullptr;
    QLineEdit *m_proxyPassword = nullptr;
    QLabel *m_message = nullptr;
    QString m_chosenFolder; // empty: the Downloads folder
    FolderChooser m_chooseFolder;
};
