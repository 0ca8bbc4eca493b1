#include "ui/syncdetaildialog.h"

#include "sync/syncmanager.h"
#include "ui/listpagekit.h"
#include "ui/rowbutton.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

using namespace ListPageKit;

namespace {

constexpr int KindWidth = 64;
constexpr int TextWidth = 250;
constexpr int ActionWidth = 130;

} // namespace

SyncDetailDialog::SyncDetailDialog(const SyncPairStatus &status, QWidget *parent)
    : Cdlg::CardDialog(parent, QStringLiteral("同步详情"), false)
    , m_status(status)
{
    resize(860, 460);
    auto *where = new QLabel(
        QStringLiteral("本地：%1\n服务器：%2\n状态：%3")
            .arg(QDir::toNativeSeparators(status.localPath), status.folderPath, SyncManager::stateText(status)),
        this);
    where->setObjectName(QStringLiteral("SyncDetailWhere"));
    where->setStyleSheet(QStringLiteral("color:#33415c;font-size:13px;background:transparent;"));
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bodyLayout()->addWidget(where);

    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("SyncDetailTable"));
    setUpTable(m_table,
               {QStringLiteral("类型"), QStringLiteral("文件"), QStringLiteral("说明"), QStringLiteral("操作")},
               PathColumn, {{KindColumn, KindWidth}, {TextColumn, TextWidth}, {ActionColumn, ActionWidth}});
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideMiddle);
    bodyLayout()->addWidget(m_table, 1);
    m_emptyLabel = ListPageKit::emptyLabel(QStringLiteral("没有错误，也没有冲突"), this);
    bodyLayout()->addWidget(m_emptyLabel, 1);

    for (const SyncExecutor::Failure &failure : status.failures)
        addRow(QStringLiteral("错误"), failure.path, failure.error, true);
    for (const QString &copy : status.conflicts)
        addRow(QStringLiteral("冲突"), copy, QStringLiteral("两边都改过，本地的版本另存为此副本"), false);
    const bool empty = m_table->rowCount() == 0;
    m_table->setVisible(!empty);
    m_emptyLabel->setVisible(empty);
    okButton()->setText(QStringLiteral("关闭"));
}

SyncDetailDialog::~SyncDetailDialog() = default;

QString SyncDetailDialog::containingFolder(const QString &root, const QString &path)
{
    if (path.isEmpty())
        return QDir::cleanPath(root);
    return QFileInfo(QDir(root).filePath(path)).absolutePath();
}

void SyncDetailDialog::addRow(const QString &kind, const QString &path, const QString &text, bool problem)
{
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    auto *kindItem = textItem(kind);
    kindItem->setForeground(problem ? QColor(0xd4, 0x38, 0x0d) : QColor(0xad, 0x68, 0x00));
    QFont bold = kindItem->font();
    bold.setBold(true);
    kindItem->setFont(bold);
    m_table->setItem(row, KindColumn, kindItem);
    auto *pathItem = textItem(path.isEmpty() ? QStringLiteral("（整个文件夹）") : QDir::toNativeSeparators(path));
    pathItem->setToolTip(pathItem->text());
    m_table->setItem(row, PathColumn, pathItem);
    auto *textCell = textItem(text);
    textCell->setToolTip(text);
    m_table->setItem(row, TextColumn, textCell);

    auto *cell = new QWidget(m_table);
    cell->setStyleSheet(QStringLiteral("QWidget{background:transparent;}QToolButton{font-size:13px;padding:0 4px;}"));
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(4, 2, 4, 2);
    QToolButton *open =
        makeRowButton(QStringLiteral("打开所在文件夹"), QStringLiteral("在文件管理器中打开"), "RowIconBtn", cell);
    open->setProperty("syncAction", QStringLiteral("SyncOpenFolder"));
    layout->addWidget(open);
    layout->addStretch();
    const QString folder = containingFolder(m_status.localPath, path);
    connect(open, &QToolButton::clicked, this, [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    m_table->setItem(row, ActionColumn, textItem(QString()));
    m_table->setCellWidget(row, ActionColumn, cell);
}
