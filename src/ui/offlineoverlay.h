#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
struct HttpResponse;

// The state a list shows over itself when its request failed: a mark, a title, a line of detail and
// 「重试」. A connection failure reads 「无法连接服务器」; a refusal from a reachable server shows its
// own text. The list underneath stays as it was, so nothing looks deleted. The overlay is a child of
// the widget it covers and follows its size; it is hidden until a failure is shown.
class OfflineOverlay final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OfflineOverlay)

public:
    explicit OfflineOverlay(QWidget *covered);
    ~OfflineOverlay() override;

    // Shows the state for a failed response (connection failure or the server's refusal).
    void showFailure(const HttpResponse &response);
    void showOffline();
    void showProblem(const QString &title, const QString &detail);

    QString title() const;
    QString detail() const;
    QPushButton *retryButton() const { return m_retry; }

    static const QString OfflineTitle;
    static const QString OfflineDetail;
    static const QString FailedTitle;

signals:
    void retryRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QLabel *m_mark = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_detail = nullptr;
    QPushButton *m_retry = nullptr;
};
