#include "app/transfersettingspanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

namespace {
constexpr int FieldWidth = 360;
constexpr int KbWidth = 160;

QLabel *sectionTitle(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QStringLiteral("color:#1A2A4A;font-size:14px;font-weight:700;padding-top:6px;"));
    return label;
}

QLabel *hint(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QStringLiteral("color:#8a94a6;font-size:12px;"));
    label->setWordWrap(true);
    return label;
}
} // namespace

TransferSettingsPanel::TransferSettingsPanel(QWidget *parent)
    : QWidget(parent)
    , m_chooseFolder([](QWidget *owner, const QString &start) {
        return QFileDialog::getExistingDirectory(owner, QStringLiteral("选择下载位置"), start);
    })
{
    setObjectName(QStringLiteral("TransferSettings"));
    // Boxes that show when unchecked too, ticked in gold like the sign-in window's; plain number
    // fields (typing, arrow keys and the wheel still step them).
    setStyleSheet(QStringLiteral(
        "QCheckBox{spacing:6px;color:#33415c;}"
        "QCheckBox::indicator{width:16px;height:16px;border:1px solid #b3bccb;border-radius:4px;background:#ffffff;}"
        "QCheckBox::indicator:hover{border-color:#C9A84C;}"
        "QCheckBox::indicator:checked{border-color:#C9A84C;image:url(:/resources/check-gold.png);}"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 12, 24, 16);
    column->setSpacing(8);

    auto *form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setHorizontalSpacing(14);
    form->setVerticalSpacing(12);

    form->addRow(sectionTitle(QStringLiteral("下载"), this));
    auto *folderRow = new QHBoxLayout;
    folderRow->setSpacing(8);
    m_folder = new QLineEdit(this);
    m_folder->setObjectName(QStringLiteral("DownloadFolder"));
    m_folder->setReadOnly(true);
    m_folder->setFixedWidth(FieldWidth);
    auto *change = new QPushButton(QStringLiteral("更改…"), this);
    change->setObjectName(QStringLiteral("ChangeFolder"));
    change->setCursor(Qt::PointingHandCursor);
    auto *reset = new QPushButton(QStringLiteral("恢复默认"), this);
    reset->setObjectName(QStringLiteral("DefaultFolder"));
    reset->setCursor(Qt::PointingHandCursor);
    folderRow->addWidget(m_folder);
    folderRow->addWidget(change);
    folderRow->addWidget(reset);
    folderRow->addStretch();
    form->addRow(QStringLiteral("下载位置："), folderRow);

    m_maxRunning = new QSpinBox(this);
    m_maxRunning->setObjectName(QStringLiteral("MaxRunning"));
    m_maxRunning->setRange(1, TransferSettings::MaxMaxRunning);
    m_maxRunning->setFixedWidth(KbWidth);
    m_maxRunning->setButtonSymbols(QAbstractSpinBox::NoButtons);
    // On the same row, so that the window's least height stays as it was.
    m_downloadStreams = new QSpinBox(this);
    m_downloadStreams->setObjectName(QStringLiteral("DownloadStreams"));
    m_downloadStreams->setRange(1, TransferSettings::MaxDownloadStreams);
    m_downloadStreams->setFixedWidth(KbWidth);
    m_downloadStreams->setButtonSymbols(QAbstractSpinBox::NoButtons);
    m_downloadStreams->setToolTip(QStringLiteral("64 MB 以上的文件分段同时下载，可在限制单连接速度的网络上提速"));
    auto *streamsLabel = new QLabel(QStringLiteral("单文件下载连接数："), this);
    streamsLabel->setBuddy(m_downloadStreams);
    m_maxRunning->setAccessibleName(QStringLiteral("同时进行的任务数"));
    m_downloadStreams->setAccessibleName(QStringLiteral("单文件下载连接数"));
    auto *runningRow = new QHBoxLayout;
    runningRow->setSpacing(8);
    runningRow->addWidget(m_maxRunning);
    runningRow->addSpacing(24);
    runningRow->addWidget(streamsLabel);
    runningRow->addWidget(m_downloadStreams);
    runningRow->addStretch();
    form->addRow(QStringLiteral("同时进行的任务数："), runningRow);

    const auto limitRow = [this](QCheckBox *&check, QSpinBox *&kb, const QString &text, const QString &name) {
        auto *row = new QHBoxLayout;
        row->setSpacing(8);
        check = new QCheckBox(text, this);
        check->setObjectName(name + QStringLiteral("On"));
        kb = new QSpinBox(this);
        kb->setObjectName(name + QStringLiteral("Kb"));
        kb->setRange(int(TransferSettings::MinLimit / 1024), MaxLimitKb);
        kb->setSuffix(QStringLiteral(" KB/s"));
        kb->setFixedWidth(KbWidth);
        kb->setButtonSymbols(QAbstractSpinBox::NoButtons);
        row->addWidget(check);
        row->addWidget(kb);
        row->addStretch();
        connect(check, &QCheckBox::toggled, this, &TransferSettingsPanel::updateEnabled);
        return row;
    };
    form->addRow(QStringLiteral("上传限速："),
                 limitRow(m_limitUp, m_upKb, QStringLiteral("限制上传速度"), QStringLiteral("UploadLimit")));
    form->addRow(QStringLiteral("下载限速："),
                 limitRow(m_limitDown, m_downKb, QStringLiteral("限制下载速度"), QStringLiteral("DownloadLimit")));
    form->addRow(sectionTitle(QStringLiteral("网络"), this));
    QFormLayout *proxyForm = form;
    m_proxyMode = new QComboBox(this);
    m_proxyMode->setObjectName(QStringLiteral("ProxyMode"));
    m_proxyMode->addItem(QStringLiteral("使用系统代理"), int(TransferSettings::ProxyMode::System));
    m_proxyMode->addItem(QStringLiteral("不使用代理"), int(TransferSettings::ProxyMode::None));
    m_proxyMode->addItem(QStringLiteral("HTTP 代理"), int(TransferSettings::ProxyMode::Http));
    m_proxyMode->addItem(QStringLiteral("SOCKS5 代理"), int(TransferSettings::ProxyMode::Socks5));
    m_proxyMode->setFixedWidth(KbWidth + 40);
    proxyForm->addRow(QStringLiteral("代理："), m_proxyMode);
    auto *serverRow = new QHBoxLayout;
    serverRow->setSpacing(8);
    m_proxyHost = new QLineEdit(this);
    m_proxyHost->setObjectName(QStringLiteral("ProxyHost"));
    m_proxyHost->setPlaceholderText(QStringLiteral("地址，如 10.0.0.8"));
    m_proxyHost->setFixedWidth(FieldWidth - 120);
    m_proxyPort = new QSpinBox(this);
    m_proxyPort->setObjectName(QStringLiteral("ProxyPort"));
    m_proxyPort->setRange(0, 65535);
    m_proxyPort->setSpecialValueText(QStringLiteral("端口"));
    m_proxyPort->setFixedWidth(110);
    m_proxyPort->setButtonSymbols(QAbstractSpinBox::NoButtons);
    serverRow->addWidget(m_proxyHost);
    serverRow->addWidget(new QLabel(QStringLiteral("："), this));
    serverRow->addWidget(m_proxyPort);
    serverRow->addStretch();
    proxyForm->addRow(QStringLiteral("代理服务器："), serverRow);
    auto *accountRow = new QHBoxLayout;
    accountRow->setSpacing(8);
    m_proxyUser = new QLineEdit(this);
    m_proxyUser->setObjectName(QStringLiteral("ProxyUser"));
    m_proxyUser->setPlaceholderText(QStringLiteral("账号（无需验证时留空）"));
    m_proxyUser->setFixedWidth(FieldWidth - 120);
    m_proxyPassword = new QLineEdit(this);
    m_proxyPassword->setObjectName(QStringLiteral("ProxyPassword"));
    m_proxyPassword->setPlaceholderText(QStringLiteral("密码"));
    m_proxyPassword->setEchoMode(QLineEdit::Password);
    m_proxyPassword->setFixedWidth(FieldWidth - 120);
    accountRow->addWidget(m_proxyUser);
    accountRow->addWidget(m_proxyPassword);
    accountRow->addStretch();
    proxyForm->addRow(QStringLiteral("代理账号："), accountRow);
    form->addRow(QString(),
                 hint(QStringLiteral("代理用于所有请求，包括分片上传。代理密码保存在系统密钥环中，不写入配置文件。"
                                     "限速对所有正在进行的任务合计生效。"),
                      this));
    // Fields placed in rows have no form label of their own for a screen reader to read.
    m_folder->setAccessibleName(QStringLiteral("下载位置"));
    m_upKb->setAccessibleName(QStringLiteral("上传限速（KB/s）"));
    m_downKb->setAccessibleName(QStringLiteral("下载限速（KB/s）"));
    m_proxyHost->setAccessibleName(QStringLiteral("代理服务器地址"));
    m_proxyPort->setAccessibleName(QStringLiteral("代理服务器端口"));
    m_proxyUser->setAccessibleName(QStringLiteral("代理账号"));
    m_proxyPassword->setAccessibleName(QStringLiteral("代理密码"));
    connect(m_proxyMode, &QComboBox::currentIndexChanged, this, &TransferSettingsPanel::updateEnabled);

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 8, 0, 0);
    auto *saveButton = new QPushButton(QStringLiteral("保存设置"), this);
    saveButton->setObjectName(QStringLiteral("GoldBtn"));
    saveButton->setCursor(Qt::PointingHandCursor);
    saveButton->setMinimumWidth(120);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("SettingsMessage"));
    buttons->addWidget(saveButton);
    buttons->addSpacing(12);
    buttons->addWidget(m_message);
    buttons->addStretch();
    form->addRow(QString(), buttons);
    column->addLayout(form);
    column->addStretch();

    connect(change, &QPushButton::clicked, this, [this] {
        const QString chosen = m_chooseFolder(this, m_folder->text());
        if (chosen.isEmpty())
            return;
        m_chosenFolder = QDir::cleanPath(chosen);
        m_folder->setText(QDir::toNativeSeparators(m_chosenFolder));
    });
    connect(reset, &QPushButton::clicked, this, [this] {
        m_chosenFolder.clear();
        m_folder->setText(QDir::toNativeSeparators(TransferSettings::defaultDownloadDir()));
    });
    connect(saveButton, &QPushButton::clicked, this, &TransferSettingsPanel::save);
    load(TransferSettings());
}

void TransferSettingsPanel::load(const TransferSettings &settings)
{
    m_chosenFolder = settings.downloadDir;
    m_folder->setText(QDir::toNativeSeparators(settings.downloadDir.isEmpty() ? TransferSettings::defaultDownloadDir()
                                                                              : settings.downloadDir));
    m_maxRunning->setValue(settings.maxRunning);
    m_downloadStreams->setValue(settings.downloadStreams);
    m_limitUp->setChecked(settings.uploadLimit > 0);
    m_upKb->setValue(settings.uploadLimit > 0 ? int(std::clamp<qint64>(settings.uploadLimit / 1024,
                                                                       TransferSettings::MinLimit / 1024, MaxLimitKb))
                                              : 1024);
    m_limitDown->setChecked(settings.downloadLimit > 0);
    m_downKb->setValue(
        settings.downloadLimit > 0
            ? int(std::clamp<qint64>(settings.downloadLimit / 1024, TransferSettings::MinLimit / 1024, MaxLimitKb))
            : 1024);
    m_proxyMode->setCurrentIndex(m_proxyMode->findData(int(settings.proxyMode)));
    m_proxyHost->setText(settings.proxyHost);
    m_proxyPort->setValue(settings.proxyPort);
    m_proxyUser->setText(settings.proxyUser);
    m_proxyPassword->setText(settings.proxyPassword);
    m_message->clear();
    updateEnabled();
}

TransferSettings TransferSettingsPanel::current() const
{
    TransferSettings settings;
    settings.downloadDir = m_chosenFolder;
    settings.maxRunning = m_maxRunning->value();
    settings.downloadStreams = m_downloadStreams->value();
    settings.uploadLimit = m_limitUp->isChecked() ? qint64(m_upKb->value()) * 1024 : 0;
    settings.downloadLimit = m_limitDown->isChecked() ? qint64(m_downKb->value()) * 1024 : 0;
    settings.proxyMode = TransferSettings::ProxyMode(m_proxyMode->currentData().toInt());
    const bool manual = settings.proxyMode == TransferSettings::ProxyMode::Http ||
                        settings.proxyMode == TransferSettings::ProxyMode::Socks5;
    settings.proxyHost = manual ? m_proxyHost->text().trimmed() : QString();
    settings.proxyPort = manual ? quint16(m_proxyPort->value()) : 0;
    settings.proxyUser = manual ? m_proxyUser->text().trimmed() : QString();
    settings.proxyPassword = manual ? m_proxyPassword->text() : QString();
    return settings;
}

void TransferSettingsPanel::save()
{
    const TransferSettings settings = current();
    const QString problem = settings.validate();
    if (!problem.isEmpty()) {
        m_message->setStyleSheet(QStringLiteral("color:#d4380d;"));
        m_message->setText(problem);
        return;
    }
    m_message->setStyleSheet(QStringLiteral("color:#2f9e5f;"));
    m_message->setText(QStringLiteral("设置已保存"));
    emit saved(settings);
}

void TransferSettingsPanel::updateEnabled()
{
    m_upKb->setEnabled(m_limitUp->isChecked());
    m_downKb->setEnabled(m_limitDown->isChecked());
    const auto mode = TransferSettings::ProxyMode(m_proxyMode->currentData().toInt());
    const bool manual = mode == TransferSettings::ProxyMode::Http || mode == TransferSettings::ProxyMode::Socks5;
    m_proxyHost->setEnabled(manual);
    m_proxyPort->setEnabled(manual);
    m_proxyUser->setEnabled(manual);
    m_proxyPassword->setEnabled(manual);
}

void TransferSettingsPanel::showProblem(const QString &text)
{
    m_message->setStyleSheet(QStringLiteral("color:#d4380d;"));
    m_message->setText(text);
}
