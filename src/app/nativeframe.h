#pragma once

#include <QObject>
#include <QPoint>
#include <QSize>

class QWidget;
class QWindow;

// Frame behaviour of the frameless main window: which part of the window a point belongs to
// (resize edges, caption band, client), and, where the toolkit's own frameless window is used,
// the edge resizing and resize cursors that the system frame would otherwise provide.
class NativeFrame final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NativeFrame)

public:
    enum class Region { Client, Caption, Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };

    static constexpr int ResizeBorder = 6;
    static constexpr int CaptionHeight = 40;

    // Region of pos (window coordinates) in a window of the given size. Edges resize only a
    // window that is not maximised; inside the caption band everything but a push button drags.
    static Region hitTest(const QPoint &pos, const QSize &size, bool maximized, bool overPushButton);
    // The window edges that resizing from region moves; none for the caption and the client.
    static Qt::Edges resizeEdges(Region region);
    static Qt::CursorShape cursorFor(Region region);

    // Watches the native window of top; call once the window has a native handle.
    explicit NativeFrame(QWidget *top);
    ~NativeFrame() override;

    void attach();
    // Region of pos as hitTest reads it for the watched window.
    Region regionAt(const QPoint &pos) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateCursor(Region region);

    QWidget *m_top = nullptr;
    QWindow *m_window = nullptr;
    bool m_cursorOverridden = false;
};
