#include "platform/linux/xcb/XcbScreenCapture.h"

#include "core/SidecarLog.h"
#include "platform/linux/xcb/XcbActiveWindow.h"
#include "platform/linux/xcb/XcbReply.h"

#include <QRegion>

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace selvina::platform {

using capture::CaptureDisplay;
using capture::CaptureWindow;
using capture::ScreenCaptureError;
using capture::ShareableContent;

namespace {

template <typename T>
using XPtr = XcbPtr<T>;

enum Atom {
    kClientListStacking, kFrameExtents, kWmName, kUtf8String, kWmPid, kWindowType,
    kTypeNormal, kTypeDialog, kWmState, kStateHidden, kWmDesktop, kCurrentDesktop, kAtomCount
};
constexpr std::array<const char*, kAtomCount> kAtomNames{
    "_NET_CLIENT_LIST_STACKING", "_NET_FRAME_EXTENTS", "_NET_WM_NAME", "UTF8_STRING",
    "_NET_WM_PID", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN", "_NET_WM_DESKTOP", "_NET_CURRENT_DESKTOP"};

constexpr quint32 kAllDesktops = 0xFFFFFFFF;

template <typename T>
std::vector<T> valuesOf(const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != sizeof(T) * 8)
        return {};
    const auto* data = static_cast<const T*>(xcb_get_property_value(reply));
    return std::vector<T>(data, data + xcb_get_property_value_length(reply) / int(sizeof(T)));
}

QByteArray bytesOf(const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != 8)
        return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply)), xcb_get_property_value_length(reply));
}


} // namespace

// One xcb connection with what it learnt at the start: atoms, the root and its pixel format.
class XcbScreenCapture::Connection {
public:
    using Wait = XcbWait;

    static std::unique_ptr<Connection> open(const QByteArray& name)
    {
        xcb_connection_t* c = xcb_connect(name.isEmpty() ? nullptr : name.constData(), nullptr);
        if (!c || xcb_connection_has_error(c)) {
            if (c)
                xcb_disconnect(c);
            return nullptr;
        }
        auto x = std::unique_ptr<Connection>(new Connection(c));
        if (!x->start())
            return nullptr;
        return x;
    }
    ~Connection() { xcb_disconnect(m_c); }

    xcb_connection_t* c() const { return m_c; }
    xcb_window_t root() const { return m_screen->root; }
    QSize rootSize() const { return {m_screen->width_in_pixels, m_screen->height_in_pixels}; }
    xcb_atom_t atom(Atom a) const { return m_atoms[a]; }
    bool usable() const { return !m_broken && !xcb_connection_has_error(m_c); }
    bool randr() const { return m_randr; }
    bool shm() const { return m_shm; }
    // The DAMAGE extension's first event code; none without the extension.
    std::optional<uint8_t> damageEvents() const { return m_damageEvents; }
    void dropShm() { m_shm = false; }
    // Whether root pixels are 32-bit words in this machine's order with 8 bits per colour.
    bool nativeRGB32() const { return m_rgb32; }

    // Waits for the reply to `sequence` until the deadline; a server that misses it is given up
    // (the next call opens a new connection), and every later wait on it fails at once rather
    // than costing another time-out each.
    template <typename R>
    std::pair<XPtr<R>, Wait> wait(unsigned int sequence, int* errorCode = nullptr)
    {
        if (m_broken)
            return {nullptr, Wait::timedOut};
        auto [reply, wait] = xcbReply<R>(m_c, sequence, std::chrono::steady_clock::now() + kReplyTimeout, errorCode);
        m_broken = wait == Wait::timedOut;
        return {std::move(reply), wait};
    }
    template <typename R>
    XPtr<R> reply(unsigned int sequence)
    {
        return wait<R>(sequence).first;
    }

    unsigned int property(xcb_window_t window, Atom a, xcb_atom_t type, quint32 longs = 64)
    {
        return xcb_get_property(m_c, 0, window, atom(a), type, 0, longs).sequence;
    }

private:
    explicit Connection(xcb_connection_t* c) : m_c(c) {}

    bool start()
    {
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        if (!m_screen)
            return false;
        std::array<unsigned int, kAtomCount> cookies{};
        for (int i = 0; i < kAtomCount; ++i)
            cookies[i] = xcb_intern_atom(m_c, 0, uint16_t(std::strlen(kAtomNames[i])), kAtomNames[i]).sequence;
        for (int i = 0; i < kAtomCount; ++i) {
            auto r = reply<xcb_intern_atom_reply_t>(cookies[i]);
            m_atoms[i] = r ? r->atom : XCB_ATOM_NONE;
        }
        const auto* randr = xcb_get_extension_data(m_c, &xcb_randr_id);
        m_randr = randr && randr->present;
        const auto* shm = xcb_get_extension_data(m_c, &xcb_shm_id);
        m_shm = shm && shm->present;
        // DAMAGE serves a client only after it has stated its version.
        const auto* damage = xcb_get_extension_data(m_c, &xcb_damage_id);
        if (damage && damage->present
            && reply<xcb_damage_query_version_reply_t>(
                xcb_damage_query_version(m_c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION).sequence))
            m_damageEvents = damage->first_event;

        const xcb_setup_t* setup = xcb_get_setup(m_c);
        int bitsPerPixel = 0;
        for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
            if (f.data->depth == m_screen->root_depth)
                bitsPerPixel = f.data->bits_per_pixel;
        const xcb_visualtype_t* visual = nullptr;
        for (auto d = xcb_screen_allowed_depths_iterator(m_screen); d.rem && !visual; xcb_depth_next(&d))
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
                if (v.data->visual_id == m_screen->root_visual)
                    visual = v.data;
        const bool littleEndian = Q_BYTE_ORDER == Q_LITTLE_ENDIAN;
        m_rgb32 = bitsPerPixel == 32 && visual && visual->red_mask == 0xff0000 && visual->green_mask == 0xff00
                  && visual->blue_mask == 0xff
                  && (setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) == littleEndian;
        return !xcb_connection_has_error(m_c);
    }

    xcb_connection_t* m_c;
    xcb_screen_t* m_screen = nullptr;
    std::array<xcb_atom_t, kAtomCount> m_atoms{};
    bool m_randr = false, m_shm = false, m_rgb32 = false, m_broken = false;
    std::optional<uint8_t> m_damageEvents;
};

XcbScreenCapture::XcbScreenCapture(qint64 ownPid, QByteArray displayName)
    : m_ownPid(ownPid), m_displayName(std::move(displayName))
{
}

XcbScreenCapture::~XcbScreenCapture() = default;

XcbScreenCapture::Connection* XcbScreenCapture::connection()
{
    if (!m_x || !m_x->usable())
        m_x = Connection::open(m_displayName);
    return m_x.get();
}

void XcbScreenCapture::awaitRedrawBelow(const std::vector<capture::WithdrawnWindow>& withdrawn)
{
    Connection* x = connection();
    if (!x || !x->damageEvents()) {
        ScreenCaptureProvider::awaitRedrawBelow(withdrawn);
        return;
    }
    using Steady = std::chrono::steady_clock;
    xcb_connection_t* c = x->c();
    const auto cap = Steady::now() + kRedrawCap;
    // Drawing is watched before the windows are asked about, so that none of it is missed; and each
    // window reports its own unmapping or destruction from the moment it was asked about.
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, x->root(), XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    QRegion below;
    std::vector<unsigned int> asked;
    const uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    for (const capture::WithdrawnWindow& w : withdrawn) {
        xcb_change_window_attributes(c, xcb_window_t(w.id), XCB_CW_EVENT_MASK, &structure);
        asked.push_back(xcb_get_window_attributes(c, xcb_window_t(w.id)).sequence);
        below += w.area;
    }
    std::vector<xcb_window_t> shown; // still on the screen as far as the server says
    for (size_t i = 0; i < withdrawn.size(); ++i) {
        const auto attributes = x->reply<xcb_get_window_attributes_reply_t>(asked[i]);
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
            shown.push_back(xcb_window_t(withdrawn[i].id));
    }
    const auto drawnAt = [&](QRect area) { return below.isEmpty() || below.intersects(area); };
    // The windows below may paint nothing for a while (a client with no background drawn by the
    // server redraws only when it gets to it): the picture waits for their first drawing after
    // ours left, and then for a quiet gap. Windows gone before they were asked about may have
    // been redrawn under already: then only the gap counts.
    auto lastDrawn = Steady::now();
    bool redrawn = shown.empty(), settled = false;
    while (x->usable()) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            const uint8_t type = event->response_type & 0x7f;
            if (type == *x->damageEvents() + XCB_DAMAGE_NOTIFY) {
                const auto* drawn = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
                if (drawnAt(QRect(drawn->area.x, drawn->area.y, drawn->area.width, drawn->area.height))) {
                    lastDrawn = Steady::now();
                    redrawn = redrawn || shown.empty();
                }
            } else if (type == XCB_UNMAP_NOTIFY || type == XCB_DESTROY_NOTIFY) {
                const xcb_window_t gone = type == XCB_UNMAP_NOTIFY
                                              ? reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window
                                              : reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window;
                std::erase(shown, gone);
            }
            std::free(event);
        }
        const auto now = Steady::now();
        if (shown.empty() && redrawn && now >= lastDrawn + kQuietGap) {
            settled = true;
            break;
        }
        if (now >= cap)
            break;
        const auto until = shown.empty() && redrawn ? std::min(lastDrawn + kQuietGap, cap) : cap;
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, int(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
    }
    if (!settled && x->usable())
        logLine(shown.empty() ? QStringLiteral("[zrzut ekranu] ekran pod znakiem nie został przerysowany albo nie ustał w %1 ms; przechwytuję mimo to").arg(kRedrawCap.count())
                              : QStringLiteral("[zrzut ekranu] okna znaku nie zniknęły w %1 ms; przechwytuję mimo to").arg(kRedrawCap.count()));
    xcb_damage_destroy(c, damage);
    const uint32_t nothing = 0;
    for (const capture::WithdrawnWindow& w : withdrawn)
        xcb_change_window_attributes(c, xcb_window_t(w.id), XCB_CW_EVENT_MASK, &nothing);
    // One round trip, after which the events and errors (windows already destroyed) are dropped.
    x->reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(c).sequence);
    while (xcb_generic_event_t* event = xcb_poll_for_event(c))
        std::free(event);
}

// X11 has no capture permission: any client of the display may read it.
bool XcbScreenCapture::accessGranted()
{
    return true;
}

Result<ShareableContent, ScreenCaptureError> XcbScreenCapture::content()
{
    Connection* x = connection();
    if (!x)
        return ScreenCaptureError::noDisplayFound();
    xcb_connection_t* c = x->c();
    ShareableContent content;

    // Displays: RandR's outputs with a picture, the primary first; else the root as one display.
    if (x->randr()) {
        const auto primary = x->reply<xcb_randr_get_output_primary_reply_t>(xcb_randr_get_output_primary(c, x->root()).sequence);
        if (primary && primary->output != XCB_NONE)
            content.mainDisplayId = primary->output;
        const auto resources = x->reply<xcb_randr_get_screen_resources_current_reply_t>(
            xcb_randr_get_screen_resources_current(c, x->root()).sequence);
        if (resources) {
            const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
            const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
            std::vector<xcb_randr_crtc_t> seen;
            for (int i = 0; i < count; ++i) {
                const auto info = x->reply<xcb_randr_get_output_info_reply_t>(
                    xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp).sequence);
                if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE
                    || std::find(seen.begin(), seen.end(), info->crtc) != seen.end())
                    continue;
                seen.push_back(info->crtc);
                const auto crtc = x->reply<xcb_randr_get_crtc_info_reply_t>(
                    xcb_randr_get_crtc_info(c, info->crtc, resources->config_timestamp).sequence);
                if (crtc && crtc->width > 0 && crtc->height > 0)
                    content.displays.push_back({outputs[i], QRect(crtc->x, crtc->y, crtc->width, crtc->height)});
            }
        }
        std::stable_partition(content.displays.begin(), content.displays.end(),
                              [&](const CaptureDisplay& d) { return d.id == content.mainDisplayId; });
    }
    if (content.displays.empty()) {
        content.displays.push_back({0, QRect(QPoint(0, 0), x->rootSize())});
        content.mainDisplayId = 0;
    }

    const auto stacking = x->reply<xcb_get_property_reply_t>(
        x->property(x->root(), kClientListStacking, XCB_ATOM_WINDOW, 4096));
    const auto desktop = x->reply<xcb_get_property_reply_t>(x->property(x->root(), kCurrentDesktop, XCB_ATOM_CARDINAL, 1));
    // The active window of another client, even one not listed, names the foreground process.
    // Its reader waits without a time-out, so it is not asked once the server has stopped answering.
    if (!x->usable())
        return ScreenCaptureError::captureFailed(QStringLiteral("serwer X przestał odpowiadać"));
    if (const auto active = xcbActiveWindow(c)) {
        content.activeWindowId = active->window;
        content.frontmostPid = active->pid;
    }
    const auto desktops = valuesOf<quint32>(desktop.get());
    const std::optional<quint32> currentDesktop = desktops.empty() ? std::nullopt : std::optional(desktops.front());

    // Every window's questions go out at once; the answers are collected afterwards.
    struct Asked {
        xcb_window_t id;
        unsigned int name, legacyName, wmClass, pid, type, state, onDesktop, extents, geometry, origin,
            attributes;
    };
    std::vector<Asked> asked;
    std::vector<quint32> clients = valuesOf<quint32>(stacking.get());
    std::reverse(clients.begin(), clients.end()); // the list runs bottom to top
    for (const quint32 w : clients) {
        asked.push_back({w, x->property(w, kWmName, x->atom(kUtf8String), 1024),
                         xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024).sequence,
                         xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256).sequence,
                         x->property(w, kWmPid, XCB_ATOM_CARDINAL, 1), x->property(w, kWindowType, XCB_ATOM_ATOM, 16),
                         x->property(w, kWmState, XCB_ATOM_ATOM, 32), x->property(w, kWmDesktop, XCB_ATOM_CARDINAL, 1),
                         x->property(w, kFrameExtents, XCB_ATOM_CARDINAL, 4), xcb_get_geometry(c, w).sequence,
                         xcb_translate_coordinates(c, w, x->root(), 0, 0).sequence,
                         xcb_get_window_attributes(c, w).sequence});
    }
    for (const Asked& a : asked) {
        const auto name = x->reply<xcb_get_property_reply_t>(a.name);
        const auto legacyName = x->reply<xcb_get_property_reply_t>(a.legacyName);
        const auto wmClass = x->reply<xcb_get_property_reply_t>(a.wmClass);
        const auto pid = x->reply<xcb_get_property_reply_t>(a.pid);
        const auto type = x->reply<xcb_get_property_reply_t>(a.type);
        const auto state = x->reply<xcb_get_property_reply_t>(a.state);
        const auto onDesktop = x->reply<xcb_get_property_reply_t>(a.onDesktop);
        const auto extents = x->reply<xcb_get_property_reply_t>(a.extents);
        const auto geometry = x->reply<xcb_get_geometry_reply_t>(a.geometry);
        const auto origin = x->reply<xcb_translate_coordinates_reply_t>(a.origin);
        const auto attributes = x->reply<xcb_get_window_attributes_reply_t>(a.attributes);
        if (!x->usable())
            return ScreenCaptureError::captureFailed(QStringLiteral("serwer X przestał odpowiadać"));
        if (!geometry || !origin || !attributes)
            continue; // gone while being listed

        CaptureWindow w;
        w.id = a.id;
        const auto pids = valuesOf<quint32>(pid.get());
        if (!pids.empty())
            w.pid = pids.front();
        if (w.pid == m_ownPid)
            continue;
        const QByteArray utf8Name = bytesOf(name.get());
        w.title = utf8Name.isEmpty() ? QString::fromLatin1(bytesOf(legacyName.get())) : QString::fromUtf8(utf8Name);
        // WM_CLASS holds the instance and then the class, each ending in NUL; the class names the application.
        const QList<QByteArray> classParts = bytesOf(wmClass.get()).split('\0');
        if (classParts.size() >= 2 && !classParts.at(1).isEmpty())
            w.applicationName = QString::fromUtf8(classParts.at(1));
        else if (w.pid && !processName(*w.pid).isEmpty())
            w.applicationName = processName(*w.pid);

        const auto types = valuesOf<quint32>(type.get());
        // No type at all: a normal window or a dialog, both of which qualify.
        w.normalLayer = types.empty() ? true
                                      : std::any_of(types.begin(), types.end(), [&](quint32 t) {
                                            return t == x->atom(kTypeNormal) || t == x->atom(kTypeDialog);
                                        });
        const auto states = valuesOf<quint32>(state.get());
        const bool hidden = std::find(states.begin(), states.end(), x->atom(kStateHidden)) != states.end();
        const auto onDesktops = valuesOf<quint32>(onDesktop.get());
        const bool elsewhere = currentDesktop && !onDesktops.empty() && onDesktops.front() != kAllDesktops
                               && onDesktops.front() != *currentDesktop;
        w.onScreen = !hidden && !elsewhere && attributes->map_state == XCB_MAP_STATE_VIEWABLE;

        const auto frame = valuesOf<quint32>(extents.get()); // left, right, top, bottom
        const int left = frame.size() == 4 ? int(frame[0]) : 0, right = frame.size() == 4 ? int(frame[1]) : 0;
        const int top = frame.size() == 4 ? int(frame[2]) : 0, bottom = frame.size() == 4 ? int(frame[3]) : 0;
        w.frame = QRect(origin->dst_x - left, origin->dst_y - top, geometry->width + left + right,
                        geometry->height + top + bottom);
        content.windows.push_back(std::move(w));
    }
    return content;
}

Result<QImage, ScreenCaptureError> XcbScreenCapture::captureDisplay(const CaptureDisplay& display, QSize size)
{
    Connection* x = connection();
    if (!x)
        return ScreenCaptureError::noDisplayFound();
    auto image = grab(*x, display.geometry.isEmpty() ? QRect(QPoint(0, 0), x->rootSize()) : display.geometry);
    if (image && size.isValid() && !size.isEmpty() && image.value().size() != size)
        return image.value().scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

Result<QImage, ScreenCaptureError> XcbScreenCapture::captureWindow(const CaptureWindow& window, QSize)
{
    Connection* x = connection();
    if (!x)
        return ScreenCaptureError::noDisplayFound();
    xcb_connection_t* c = x->c();
    // Where the window is now, not where it was when listed; it may have moved, gone or been hidden.
    const auto w = xcb_window_t(window.id);
    const unsigned int geometryAsked = xcb_get_geometry(c, w).sequence;
    const unsigned int originAsked = xcb_translate_coordinates(c, w, x->root(), 0, 0).sequence;
    const unsigned int attributesAsked = xcb_get_window_attributes(c, w).sequence;
    const unsigned int extentsAsked = x->property(w, kFrameExtents, XCB_ATOM_CARDINAL, 4);
    const auto geometry = x->reply<xcb_get_geometry_reply_t>(geometryAsked);
    const auto origin = x->reply<xcb_translate_coordinates_reply_t>(originAsked);
    const auto attributes = x->reply<xcb_get_window_attributes_reply_t>(attributesAsked);
    const auto extents = x->reply<xcb_get_property_reply_t>(extentsAsked);
    if (!x->usable())
        return ScreenCaptureError::captureFailed(QStringLiteral("serwer X przestał odpowiadać"));
    if (!geometry || !origin || !attributes)
        return ScreenCaptureError::captureFailed(QStringLiteral("okno zostało zamknięte, zanim udało się je przechwycić"));
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE)
        return ScreenCaptureError::captureFailed(QStringLiteral("okno zostało ukryte, zanim udało się je przechwycić"));
    const auto frame = valuesOf<quint32>(extents.get());
    const int left = frame.size() == 4 ? int(frame[0]) : 0, right = frame.size() == 4 ? int(frame[1]) : 0;
    const int top = frame.size() == 4 ? int(frame[2]) : 0, bottom = frame.size() == 4 ? int(frame[3]) : 0;
    const QRect area = QRect(origin->dst_x - left, origin->dst_y - top, geometry->width + left + right,
                             geometry->height + top + bottom)
                           .intersected(QRect(QPoint(0, 0), x->rootSize()));
    if (area.isEmpty())
        return ScreenCaptureError::captureFailed(QStringLiteral("okno leży całe poza ekranem"));
    return grab(*x, area);
}

// The root's pixels of `area`, strip by strip: through shared memory where the server offers it,
// else in the replies themselves.
Result<QImage, ScreenCaptureError> XcbScreenCapture::grab(Connection& x, QRect area)
{
    area = area.intersected(QRect(QPoint(0, 0), x.rootSize()));
    if (area.isEmpty())
        return ScreenCaptureError::noDisplayFound();
    if (!x.nativeRGB32())
        return ScreenCaptureError::captureFailed(QStringLiteral("serwer X używa formatu pikseli, którego nie obsługuję"));
    QImage image(area.size(), QImage::Format_RGB32);
    if (image.isNull())
        return ScreenCaptureError::captureFailed(QStringLiteral("za mało pamięci na obraz ekranu"));
    xcb_connection_t* c = x.c();
    const qsizetype rowBytes = qsizetype(area.width()) * 4;
    const int stripRows = int(std::max<qsizetype>(1, kStripBytes / rowBytes));

    // One shared segment for all strips, removed at once so that it cannot outlive us.
    struct Segment {
        int id = -1;
        void* address = nullptr;
        xcb_shm_seg_t seg = 0;
        xcb_connection_t* c = nullptr;
        ~Segment()
        {
            if (seg)
                xcb_shm_detach(c, seg);
            if (address)
                shmdt(address);
        }
    } segment;
    if (x.shm()) {
        segment.id = shmget(IPC_PRIVATE, size_t(rowBytes) * size_t(stripRows), IPC_CREAT | 0600);
        if (segment.id >= 0) {
            segment.address = shmat(segment.id, nullptr, 0);
            if (segment.address == reinterpret_cast<void*>(-1))
                segment.address = nullptr;
            if (segment.address) {
                segment.c = c;
                segment.seg = xcb_generate_id(c);
                const auto attached = xcb_shm_attach_checked(c, segment.seg, uint32_t(segment.id), 0); // the server writes into it
                xcb_generic_error_t* error = xcb_request_check(c, attached);
                if (error) {
                    std::free(error);
                    segment.seg = 0;
                    x.dropShm(); // a server on another machine, or one without access to our segments
                }
            }
            shmctl(segment.id, IPC_RMID, nullptr);
        }
    }

    for (int row = 0; row < area.height(); row += stripRows) {
        const int rows = std::min(stripRows, area.height() - row);
        int errorCode = 0;
        const uchar* pixels = nullptr;
        qsizetype available = 0;
        XPtr<void> held;
        Connection::Wait outcome;
        if (segment.seg) {
            auto [reply, how] = x.wait<xcb_shm_get_image_reply_t>(
                xcb_shm_get_image(c, x.root(), int16_t(area.x()), int16_t(area.y() + row), uint16_t(area.width()),
                                  uint16_t(rows), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment.seg, 0)
                    .sequence,
                &errorCode);
            outcome = how;
            pixels = static_cast<const uchar*>(segment.address);
            available = reply ? qsizetype(reply->size) : 0;
            held.reset(reply.release());
        } else {
            auto [reply, how] = x.wait<xcb_get_image_reply_t>(
                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), int16_t(area.x()), int16_t(area.y() + row),
                              uint16_t(area.width()), uint16_t(rows), ~0u)
                    .sequence,
                &errorCode);
            outcome = how;
            if (reply) {
                pixels = xcb_get_image_data(reply.get());
                available = xcb_get_image_data_length(reply.get());
            }
            held.reset(reply.release());
        }
        switch (outcome) {
        case Connection::Wait::answered:
            break;
        case Connection::Wait::failed:
            return ScreenCaptureError::captureFailed(
                QStringLiteral("serwer X odmówił wydania obrazu (błąd X %1)").arg(errorCode));
        case Connection::Wait::timedOut:
            return ScreenCaptureError::captureFailed(QStringLiteral("serwer X nie wydał obrazu w ciągu %1 s")
                                                         .arg(kReplyTimeout.count() / 1000));
        case Connection::Wait::lost:
            return ScreenCaptureError::captureFailed(QStringLiteral("połączenie z serwerem X zostało zerwane"));
        }
        if (available < rowBytes * rows)
            return ScreenCaptureError::captureFailed(QStringLiteral("serwer X wydał niepełny obraz"));
        for (int r = 0; r < rows; ++r)
            std::memcpy(image.scanLine(row + r), pixels + qsizetype(r) * rowBytes, size_t(rowBytes));
    }
    return image;
}

} // namespace selvina::platform
