#include "app/nativeframe.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QWidget>
#include <QWindow>

NativeFrame::Region NativeFrame::hitTest(const QPoint &pos, const QSize &size, bool maximized, bool overPushButton)
{
    const int x = pos.x();
    const int y = pos.y();
    const int w = size.width();
    const int h = size.height();
    if (!maximized) {
        const bool top = y >= 0 && y <= ResizeBorder - 1;
        const bool bottom = y >= h - ResizeBorder && y < h;
        const bool left = x >= 0 && x <= ResizeBorder - 1;
        const bool right = x >= w - ResizeBorder && x < w;
        if (top && left)
            return Region::TopLeft;
        if (top && right)
            return Region::TopRight;
        if (bottom && left)
            return Region::BottomLeft;
        if (bottom && right)
            return Region::BottomRight;
        if (left)
            return Region::Left;
        if (right)
            return Region::Right;
        if (top)
            return Region::Top;
        if (bottom)
            return Region::Bottom;
    }
    if (y >= 0 && y <= CaptionHeight - 1)
        return overPushButton ? Region::Client : Region::Caption;
    return Region::Client;
}

Qt::Edges NativeFrame::resizeEdges(Region region)
{
    switch (region) {
    case Region::Left:
        return Qt::LeftEdge;
    case Region::Right:
        return Qt::RightEdge;
    case Region::Top:
        return Qt::TopEdge;
    case Region::Bottom:
        return Qt::BottomEdge;
    case Region::TopLeft:
        return Qt::TopEdge | Qt::LeftEdge;
    case Region::TopRight:
        return Qt::TopEdge | Qt::RightEdge;
    case Region::BottomLeft:
        return Qt::BottomEdge | Qt::LeftEdge;
    case Region::BottomRight:
        return Qt::BottomEdge | Qt::RightEdge;
    case Region::Client:
    case Region::Caption:
        break;
    }
    return {};
}

Qt::CursorShape NativeFrame::cursorFor(Region region)
{
    switch (region) {
    case Region::Left:
    case Region::Right:
        return Qt::SizeHorCursor;
    case Region::Top:
    case Region::Bottom:
        return Qt::SizeVerCursor;
    case Region::TopLeft:
    case Region::BottomRight:
        return Qt::SizeFDiagCursor;
    case Region::TopRight:
    case Region::BottomLeft:
        return Qt::SizeBDiagCursor;
    case Region::Client:
    case Region::Caption:
        break;
    }
    return Qt::ArrowCursor;
}

NativeFrame::NativeFrame(QWidget *top)
    : QObject(top)
    , m_top(top)
{}

NativeFrame::~NativeFrame()
{
    if (m_cursorOverridden)
        QGuiApplication::restoreOverrideCursor();
}

void NativeFrame::attach()
{
    QWindow *window = m_top->windowHandle();
    if (!window || window == m_window)
        return;
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = window;
    // The native window sees every mouse event before any child widget does, so the border
    // band works even where a page or the sidebar lies under it.
    m_window->installEventFilter(this);
}

NativeFrame::Region NativeFrame::regionAt(const QPoint &pos) const
{
    const QWidget *child = m_top->childAt(pos);
    const bool overButton = qobject_cast<const QPushButton *>(child) != nullptr;
    return hitTest(pos, m_top->size(), m_top->isMaximized() || m_top->isFullScreen(), overButton);
}

bool NativeFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window)
        return false;
    switch (event->type()) {
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->buttons() == Qt::NoButton)
            updateCursor(regionAt(mouse->position().toPoint()));
        break;
    }
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        const Qt::Edges edges = resizeEdges(regionAt(mouse->position().toPoint()));
        if (edges) {
            updateCursor(Region::Client);
            m_window->startSystemResize(edges);
            return true;
        }
        break;
    }
    case QEvent::Leave:
        updateCursor(Region::Client);
        break;
    default:
        break;
    }
    return false;
}

void NativeFrame::updateCursor(Region region)
{
    const bool edge = resizeEdges(region) != Qt::Edges();
    if (edge) {
        if (m_cursorOverridden)
            QGuiApplication::changeOverrideCursor(cursorFor(region));
        else
            QGuiApplication::setOverrideCursor(cursorFor(region));
        m_cursorOverridden = true;
    } else if (m_cursorOverridden) {
        QGuiApplication::restoreOverrideCursor();
        m_cursorOverridden = false;
    }
}
