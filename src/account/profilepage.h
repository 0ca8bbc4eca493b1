#pragma once

#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QWidget>
#include <utility>

class LicensePage;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class UpdateChecker;

namespace Cdlg {
class ProgressCard;
}
namespace pfp {
class TileCard;
}

// The personal centre: three tiles over three sub-pages, the profile (avatar, account fields,
// storage, save), software update (about text, version, update check and installer download) and
// capacity purchase (LicensePage). Reloads the profile every time it is shown.
class ProfilePage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProfilePage)

public:
    enum Tile { ProfileTile = 0, UpdateTile = 1, CapacityTile = 2 };
    static constexpr int AvatarSize = 72;

    explicit ProfilePage(QWidget *parent = nullptr);
    ~ProfilePage() override;

    void reload();
    // Validates the edits and sends them; the outcome is a card ("提示", "保存失败" or "完成").
    void saveProfile();
    // Asks for an image file and uploads it.
    void pickAvatar();
    UpdateChecker *updateChecker() const { return m_checker; }
    // Uploads the image at localPath as the new avatar.
    void uploadAvatar(const QString &localPath);
    // Asks the server for a newer version; does nothing while a check or a download runs.
    void checkForUpdate();
    // Switches sub-page and tile highlight; an index outside the tiles is ignored.
    void showTile(int index);
    int currentTile() const;

    // "used / limit" ("—" for a limit below 1 byte) and the bar value, clamped to 0..100.
    static QString storageText(qint64 used, qint64 limit);
    static int storagePercent(qint64 used, qint64 limit);

    LicensePage *licensePage() const { return m_licensePage; }
    QJsonObject lastProfile() const { return m_profile; }

signals:
    void reloginRequested();
    void profileSaved();
    void licenseRenewed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildTile(int index, const QString &icon, const QString &title, const QString &description);
    // A scrolling sub-page: returns the wrapper; *content receives the content layout.
    QWidget *buildScrollingSub(QVBoxLayout **content);
    QWidget *buildProfileSub();
    QWidget *buildUpdateSub();
    void showProfile(const QJsonObject &profile);
    void showAvatar();
    void showStorage();

    // Update sub-page.
    void onUpdateChecked(bool hasUpdate, const QString &latestVersion);
    void startUpdateDownload();
    void onUpdateFailed(const QString &message);
    void onUpdateDownloaded(const QString &path);
    void dismissProgressCard();

    QStackedWidget *m_content = nullptr;
    QList<pfp::TileCard *> m_tiles;
    LicensePage *m_licensePage = nullptr;
    QList<std::pair<QWidget *, QWidget *>> m_follow; // (viewport, content) of each scrolling sub-page
    QLineEdit *m_account = nullptr;
    QLineEdit *m_name = nullptr;
    QLineEdit *m_phone = nullptr;
    QLineEdit *m_company = nullptr;
    QLabel *m_avatar = nullptr;
    QLabel *m_displayName = nullptr;
    QLabel *m_subLine = nullptr;
    QLabel *m_storageText = nullptr;
    QProgressBar *m_storageBar = nullptr;
    UpdateChecker *m_checker = nullptr;
    QPushButton *m_checkButton = nullptr;
    QPointer<Cdlg::ProgressCard> m_progressCard;
    QJsonObject m_profile;
    QString m_avatarUrl;
    QString m_displayNameText;
    int m_profileRequest = 0; // only the answer to the latest profile request is shown
};
