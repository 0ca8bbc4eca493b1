// The main window's frame: hiding to the tray, pausing while hidden, and the native frame that
// keeps a resizable system window under the painted title bar.
#include "app/mainwindow.h"

#include "app/nativeframe.h"
#include "app/statusbar.h"
#include "notify/notificationbell.h"

#include <QCloseEvent>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtMath>

#ifdef Q_OS_WIN
#include <dwmapi.h>
#include <qt_windows.h>
#include <windowsx.h>
#endif

namespace {

const QString TrayNoticeTitle = QStringLiteral("托尔瓦企业存储");
const QString TrayNoticeText = QStringLiteral("已最小化到系统托盘，程序仍在后台运行。\n"
                                              "双击托盘图标可恢复窗口；点「退出登录」才会关闭程序。");
constexpr int TrayNoticeMs = 6000;

#ifdef Q_OS_WIN
constexpr DWORD DwmImmersiveDarkMode = 20;
constexpr DWORD DwmCaptionColor = 35;
constexpr DWORD DwmTextColor = 36;
constexpr DWORD CaptionColorNavy = 0x004A2A1A; // COLORREF of #1A2A4A
constexpr DWORD CaptionTextWhite = 0x00FFFFFF;
constexpr UINT FrameChangedFlags = SWP_FRAMECHANGED | SWP_NOZORDER | SWP_NOMOVE | SWP_NOSIZE; // 0x27

int frameThicknessX()
{
    return GetSystemMetrics(SM_CXPADDEDBORDER) + GetSystemMetrics(SM_CXFRAME);
}

int frameThicknessY()
{
    return GetSystemMetrics(SM_CXPADDEDBORDER) + GetSystemMetrics(SM_CYFRAME);
}

LRESULT hitTestCode(NativeFrame::Region region)
{
    using Region = NativeFrame::Region;
    switch (region) {
    case Region::TopLeft:
        return HTTOPLEFT;
    case Region::TopRight:
        return HTTOPRIGHT;
    case Region::BottomLeft:
        return HTBOTTOMLEFT;
    case Region::BottomRight:
        return HTBOTTOMRIGHT;
    case Region::Left:
        return HTLEFT;
    case Region::Right:
        return HTRIGHT;
    case Region::Top:
        return HTTOP;
    case Region::Bottom:
        return HTBOTTOM;
    case Region::Caption:
        return HTCAPTION;
    case Region::Client:
        break;
    }
    return HTCLIENT;
}
#endif

} // namespace

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_quitting) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (!m_trayAvailable) {
        // Hidden without a tray icon the window could never be brought back.
        showMinimized();
        return;
    }
    hide();
    if (m_tray && !m_trayNoticeShown) {
        m_trayNoticeShown = true;
        m_tray->showMessage(TrayNoticeTitle, TrayNoticeText, QSystemTrayIcon::Information, TrayNoticeMs);
    }
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    if (m_hidden)
        return;
    m_hidden = true;
    m_speedTimer->stop();
    m_bell->pollTimer()->stop();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_hidden) {
        m_hidden = false;
        m_statusBar->restartMeter();
        m_speedTimer->start();
        m_bell->pollTimer()->start();
        m_bell->refreshCount();
        refreshCapacity();
    }
    if (m_frame)
        m_frame->attach();
    if (!m_frameAttributesApplied && internalWinId()) {
        applyFrameAttributes();
        m_frameAttributesApplied = true;
    }
    stripCaption();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange && event->type() != QEvent::ActivationChange)
        return;
    stripCaption();
    // The system may put the caption back while it processes the change.
    QTimer::singleShot(0, this, &MainWindow::stripCaption);
    if (m_titleBar)
        m_titleBar->update();
}

void MainWindow::applyFrameAttributes()
{
#ifdef Q_OS_WIN
    const HWND hwnd = reinterpret_cast<HWND>(internalWinId());
    const DWORD darkMode = 1;
    const DWORD captionColor = CaptionColorNavy;
    const DWORD textColor = CaptionTextWhite;
    // Older systems do not know the colour attributes; a failed call changes nothing.
    DwmSetWindowAttribute(hwnd, DwmImmersiveDarkMode, &darkMode, sizeof(darkMode));
    DwmSetWindowAttribute(hwnd, DwmCaptionColor, &captionColor, sizeof(captionColor));
    DwmSetWindowAttribute(hwnd, DwmTextColor, &textColor, sizeof(textColor));
#endif
}

void MainWindow::stripCaption()
{
#ifdef Q_OS_WIN
    const HWND hwnd = reinterpret_cast<HWND>(internalWinId());
    if (!hwnd)
        return;
    const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    if (style & WS_CAPTION) {
        SetWindowLongPtrW(hwnd, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_CAPTION));
        SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, FrameChangedFlags);
    }
#endif
}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message, qintptr *result)
{
#ifdef Q_OS_WIN
    if (eventType != "windows_generic_MSG")
        return QMainWindow::nativeEvent(eventType, message, result);
    MSG *msg = static_cast<MSG *>(message);
    const bool hasHandle = internalWinId() != 0;
    switch (msg->message) {
    case WM_NCCALCSIZE:
        if (msg->wParam == TRUE) {
            // The whole window is client area; maximised, keep the content off the monitor's edges.
            if (hasHandle && IsZoomed(msg->hwnd)) {
                auto *params = reinterpret_cast<NCCALCSIZE_PARAMS *>(msg->lParam);
                const int fx = frameThicknessX();
                const int fy = frameThicknessY();
                params->rgrc[0].left += fx;
                params->rgrc[0].right -= fx;
                params->rgrc[0].top += fy;
                params->rgrc[0].bottom -= fy;
            }
            *result = 0;
            return true;
        }
        break;
    case WM_GETMINMAXINFO: {
        if (!hasHandle)
            break;
        auto *info = reinterpret_cast<MINMAXINFO *>(msg->lParam);
        MONITORINFO monitorInfo{};
        monitorInfo.cbSize = sizeof(monitorInfo);
        const HMONITOR monitor = MonitorFromWindow(msg->hwnd, MONITOR_DEFAULTTONEAREST);
        if (monitor && GetMonitorInfoW(monitor, &monitorInfo)) {
            const RECT &work = monitorInfo.rcWork;
            const RECT &whole = monitorInfo.rcMonitor;
            const int fx = frameThicknessX();
            const int fy = frameThicknessY();
            info->ptMaxPosition.x = work.left - whole.left - fx;
            info->ptMaxPosition.y = work.top - whole.top - fy;
            info->ptMaxSize.x = (work.right - work.left) + 2 * fx;
            info->ptMaxSize.y = (work.bottom - work.top) + 2 * fy;
        }
        *result = 0;
        return true;
    }
    case WM_NCHITTEST: {
        if (!hasHandle)
            break;
        POINT point{GET_X_LPARAM(msg->lParam), GET_Y_LPARAM(msg->lParam)};
        ScreenToClient(msg->hwnd, &point);
        RECT client{};
        GetClientRect(msg->hwnd, &client);
        // The system speaks device pixels; the bands and the widgets are in logical pixels.
        const qreal ratio = devicePixelRatioF();
        const QPoint pos(qFloor(point.x / ratio), qFloor(point.y / ratio));
        const QSize size(qRound((client.right - client.left) / ratio), qRound((client.bottom - client.top) / ratio));
        const bool overButton = qobject_cast<QPushButton *>(childAt(pos)) != nullptr;
        *result = hitTestCode(NativeFrame::hitTest(pos, size, IsZoomed(msg->hwnd), overButton));
        return true;
    }
    case WM_STYLECHANGING:
        if (msg->wParam == static_cast<WPARAM>(GWL_STYLE)) {
            auto *change = reinterpret_cast<STYLESTRUCT *>(msg->lParam);
            change->styleNew &= ~static_cast<DWORD>(WS_CAPTION);
        }
        break;
    case WM_ERASEBKGND:
        *result = 1;
        return true;
    case WM_NCPAINT:
        *result = 0;
        return true;
    case WM_NCACTIVATE: {
        // lParam -1 keeps the system from repainting a non-client area that no longer exists.
        const LRESULT handled = DefWindowProcW(msg->hwnd, WM_NCACTIVATE, msg->wParam, -1);
        *result = handled ? 1 : 0;
        return true;
    }
    default:
        break;
    }
#endif
    return QMainWindow::nativeEvent(eventType, message, result);
}
