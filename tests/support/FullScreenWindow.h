// Another X client's full-screen window of one colour, on its own connection, recording the
// clicks it gets: what the mark must stay above without taking its input.
// Thread: the test's main thread.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace selvina::testing {

class FullScreenWindow {
public:
    FullScreenWindow(int x, int y, int width, int height, std::uint32_t colour)
        : m_c(xcb_connect(nullptr, nullptr)), id(xcb_generate_id(m_c))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        const std::uint32_t values[] = {colour, XCB_EVENT_MASK_BUTTON_PRESS};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, id, m_root, std::int16_t(x), std::int16_t(y), std::uint16_t(width),
                          std::uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        const xcb_atom_t fullScreen = atom("_NET_WM_STATE_FULLSCREEN");
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &fullScreen);
        xcb_map_window(m_c, id);
        xcb_flush(m_c);
    }
    ~FullScreenWindow() { xcb_disconnect(m_c); }
    FullScreenWindow(const FullScreenWindow&) = delete;
    FullScreenWindow& operator=(const FullScreenWindow&) = delete;

    void takeFocus()
    {
        xcb_set_input_focus(m_c, XCB_INPUT_FOCUS_PARENT, id, XCB_CURRENT_TIME);
        xcb_flush(m_c);
    }
    // The screen's colour at (x, y), read from the root window (0xRRGGBB).
    std::uint32_t pixel(int x, int y)
    {
        auto* image = xcb_get_image_reply(
            m_c, xcb_get_image(m_c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, std::int16_t(x), std::int16_t(y), 1, 1, ~0u), nullptr);
        std::uint32_t value = 0xFFFFFFFF;
        if (image != nullptr && xcb_get_image_data_length(image) >= 4)
            std::memcpy(&value, xcb_get_image_data(image), 4);
        std::free(image);
        return value & 0xFFFFFF;
    }
    bool clicked()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(m_c)) {
            m_clicked = m_clicked || (e->response_type & 0x7f) == XCB_BUTTON_PRESS;
            std::free(e);
        }
        return m_clicked;
    }

private:
    xcb_atom_t atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply != nullptr ? reply->atom : XCB_NONE;
        std::free(reply);
        return a;
    }
    xcb_connection_t* m_c;
    xcb_window_t m_root = 0;
    bool m_clicked = false;

public:
    const xcb_window_t id;
};

} // namespace selvina::testing
