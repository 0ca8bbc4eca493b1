#include "ui/addsyncdialog.h"

#include "files/folderpickerdialog.h"
#include "net/httpresponse.h"
#include "spaces/teamapi.h"
#include "sync/syncmanager.h"
#include "sync/syncpair.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString PersonalRoot = QStringLiteral("全部文件");
constexpr char FieldStyle[] = "color:#33415c;font-size:13px;background:transparent;";
constexpr char ErrorStyle[] = "color:#d4380d;font-size:12px;background:transparent;";

// "全部文件/A/B" for a picker item: its names up to (not including) the root item.
QString shownPathOf(const QTreeWidgetItem *item)
{
    QStringList names;
    for (; item && item->parent(); item = item->parent())
        names.prepend(item->text(0));
    names.prepend(PersonalRoot);
    return names.join(QLatin1Char('/'));
}

} // namespace

AddSyncDialog::AddSyncDialog(SyncManager *manager, QWidget *parent)
    : Cdlg::CardDialog(parent, QStringLiteral("添加同步"), true)
    , m_manager(manager)
    , m_folderPath(PersonalRoot)
{
    resize(620, 340);
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(12);
    const auto caption = [this](const QString &text) {
        auto *label = new QLabel(text, this);
        label->setStyleSheet(QString::fromLatin1(FieldStyle));
        return label;
    };

    grid->addWidget(caption(QStringLiteral("本地文件夹")), 0, 0);
    m_localEdit = new QLineEdit(this);
    m_localEdit->setObjectName(QStringLiteral("SyncLocalEdit"));
    m_localEdit->setPlaceholderText(QStringLiteral("选择要同步的本地文件夹"));
    grid->addWidget(m_localEdit, 0, 1);
    auto *localButton = new QPushButton(QStringLiteral("选择…"), this);
    localButton->setCursor(Qt::PointingHandCursor);
    grid->addWidget(localButton, 0, 2);

    grid->addWidget(caption(QStringLiteral("空间")), 1, 0);
    m_spaceBox = new QComboBox(this);
    m_spaceBox->setObjectName(QStringLiteral("SyncSpaceBox"));
    m_spaceBox->addItem(QStringLiteral("个人空间"), QString());
    grid->addWidget(m_spaceBox, 1, 1, 1, 2);

    grid->addWidget(caption(QStringLiteral("服务器文件夹")), 2, 0);
    m_folderLabel = caption(m_folderPath);
    m_folderLabel->setObjectName(QStringLiteral("SyncFolderLabel"));
    grid->addWidget(m_folderLabel, 2, 1);
    m_folderButton = new QPushButton(QStringLiteral("选择…"), this);
    m_folderButton->setCursor(Qt::PointingHandCursor);
    grid->addWidget(m_folderButton, 2, 2);
    grid->addWidget(caption(QStringLiteral("忽略")), 3, 0);
    m_ignoreEdit = new QLineEdit(this);
    m_ignoreEdit->setObjectName(QStringLiteral("SyncIgnoreEdit"));
    m_ignoreEdit->setPlaceholderText(QStringLiteral("不同步的文件或文件夹，用 ; 分隔，如 *.log;node_modules"));
    grid->addWidget(m_ignoreEdit, 3, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    bodyLayout()->addLayout(grid);

    auto *note = new QLabel(QStringLiteral("临时文件（*.part、*.tmp、~$* 等）总是忽略；保险箱不参与同步；"
                                           "移除同步不删除任何文件。"),
                            this);
    note->setWordWrap(true);
    note->setStyleSheet(QStringLiteral("color:#8a93a6;font-size:12px;background:transparent;"));
    bodyLayout()->addWidget(note);
    m_errorLabel = new QLabel(this);
    m_errorLabel->setObjectName(QStringLiteral("SyncAddError"));
    m_errorLabel->setStyleSheet(QString::fromLatin1(ErrorStyle));
    m_errorLabel->setWordWrap(true);
    bodyLayout()->addWidget(m_errorLabel);
    bodyLayout()->addStretch();
    okButton()->setText(QStringLiteral("开始同步"));

    connect(localButton, &QPushButton::clicked, this, &AddSyncDialog::chooseLocal);
    connect(m_folderButton, &QPushButton::clicked, this, &AddSyncDialog::chooseServerFolder);
    connect(m_spaceBox, &QComboBox::currentIndexChanged, this, &AddSyncDialog::onSpaceChanged);
    loadTeams();
}

AddSyncDialog::~AddSyncDialog() = default;

void AddSyncDialog::loadTeams()
{
    QPointer<AddSyncDialog> self(this);
    Api::listTeams([self](const HttpResponse &response) {
        if (!self)
            return;
        // Without the list only the personal space is offered.
        for (const QJsonValue &value : response.dataArray()) {
            const QJsonObject team = value.toObject();
            const QString id = jsonText(team, QStringLiteral("id"));
            if (!id.isEmpty())
                self->m_spaceBox->addItem(QStringLiteral("团队空间 · %1").arg(jsonText(team, QStringLiteral("name"))),
                                          id);
        }
    });
}

void AddSyncDialog::onSpaceChanged()
{
    const bool team = !m_spaceBox->currentData().toString().isEmpty();
    // A team space is synced from its top: the picker lists the personal space's folders only.
    m_folderButton->setEnabled(!team);
    if (team) {
        m_folderId.clear();
        m_folderPath = m_spaceBox->currentText();
    } else {
        m_folderId.clear();
        m_folderPath = PersonalRoot;
    }
    m_folderLabel->setText(m_folderPath);
}

void AddSyncDialog::chooseLocal()
{
    const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("选择本地文件夹"), m_localEdit->text());
    if (!dir.isEmpty())
        setLocalPath(dir);
}

void AddSyncDialog::chooseServerFolder()
{
    auto *picker = new FolderPickerDialog(this, QStringLiteral("选择服务器文件夹"));
    picker->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<FolderPickerDialog> guard(picker);
    connect(picker, &QDialog::accepted, this, [this, guard] {
        if (!guard)
            return;
        setServerFolder(guard->selectedId(), shownPathOf(guard->tree()->currentItem()));
    });
    picker->open();
}

void AddSyncDialog::setLocalPath(const QString &path)
{
    m_localEdit->setText(QDir::toNativeSeparators(path));
    m_errorLabel->clear();
}

void AddSyncDialog::setServerFolder(const QString &folderId, const QString &shownPath)
{
    m_spaceBox->setCurrentIndex(0);
    m_folderId = folderId;
    m_folderPath = shownPath;
    m_folderLabel->setText(shownPath);
    m_errorLabel->clear();
}

SyncPair AddSyncDialog::pair() const
{
    SyncPair pair;
    pair.localPath = QDir::fromNativeSeparators(m_localEdit->text().trimmed());
    const QString teamId = m_spaceBox->currentData().toString();
    pair.space = teamId.isEmpty() ? SyncPair::Space::Personal : SyncPair::Space::Team;
    pair.teamId = teamId;
    pair.folderId = m_folderId;
    pair.folderPath = m_folderPath;
    for (const QString &pattern : m_ignoreEdit->text().split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!pattern.trimmed().isEmpty())
            pair.ignorePatterns.append(pattern.trimmed());
    }
    return pair;
}

void AddSyncDialog::accept()
{
    if (!m_manager)
        return QDialog::reject();
    const SyncPair wanted = pair();
    if (wanted.localPath.isEmpty()) {
        m_errorLabel->setText(QStringLiteral("请选择本地文件夹"));
        return;
    }
    const QString problem = m_manager->addPair(wanted);
    if (!problem.isEmpty()) {
        m_errorLabel->setText(problem);
        return;
    }
    QDialog::accept();
}
