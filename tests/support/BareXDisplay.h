// Virtual X servers (Xvfb), bare or with a window manager (openbox), forked without Qt: a
// QApplication needs the display when it is made, before any event loop a QProcess would need.
// Thread: the process's main thread.
#pragma once

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace selvina::testing {

inline pid_t spawn(std::vector<const char*> argv)
{
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    return pid;
}

// Ends a child that spawn() started (SIGTERM, then reaped); `pid` becomes -1.
inline void endChild(pid_t& pid)
{
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

inline bool runNow(const std::vector<const char*>& argv)
{
    int status = 0;
    const pid_t pid = spawn(argv);
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// An Xvfb server of the caller's own on a free display number, stopped with the object.
// -noreset: by default the server resets when its last client leaves, and a client connecting
// during the reset is turned away ("Failed to open the display"); a window manager started while a
// probe of the root window came and went was turned away so about once in 40 starts.
class XServer {
public:
    // `screen`: "WxHxDepth"; `options`: more arguments for Xvfb.
    explicit XServer(const char* screen, std::vector<const char*> options = {})
    {
        // The loser of two servers started at once on the same number exits without a number.
        for (int attempt = 0; attempt < 5 && m_number.empty(); ++attempt) {
            endChild(m_pid);
            int pipe[2];
            if (::pipe(pipe) != 0)
                return;
            const std::string fd = std::to_string(pipe[1]);
            std::vector<const char*> argv{"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
            argv.insert(argv.end(), options.begin(), options.end());
            m_pid = spawn(argv);
            ::close(pipe[1]);
            char c = 0;
            while (::read(pipe[0], &c, 1) == 1 && c != '\n')
                m_number += c;
            ::close(pipe[0]);
        }
    }
    ~XServer() { endChild(m_pid); }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // The display number, empty when no server started.
    const std::string& number() const { return m_number; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::string m_number;
};

// Xvfb and a window manager (openbox unless told) for a process whose QApplication needs the
// display at once; the manager inherits the process's environment (its session bus, settings backend).
class BareXDisplay {
public:
    explicit BareXDisplay(const char* screen, std::vector<const char*> windowManager = {"openbox", "--sm-disable"}) : m_x(screen)
    {
        if (m_x.number().empty())
            return;
        ::setenv("DISPLAY", (":" + m_x.number()).c_str(), 1);
        m_wm = spawn(std::move(windowManager));
        // The window manager is up once it has announced itself on the root window.
        xcb_connection_t* x = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(x) == 0) {
            const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
            auto* a = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, 24, "_NET_SUPPORTING_WM_CHECK"), nullptr);
            for (int i = 0; a != nullptr && i < 600 && !m_ok; ++i) {
                if (::waitpid(m_wm, nullptr, WNOHANG) == m_wm) { // ended without a word
                    m_wm = -1;
                    break;
                }
                auto* p = xcb_get_property_reply(x, xcb_get_property(x, 0, root, a->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
                m_ok = p != nullptr && xcb_get_property_value_length(p) == 4;
                std::free(p);
                if (!m_ok)
                    ::usleep(50'000);
            }
            std::free(a);
        }
        xcb_disconnect(x);
    }
    ~BareXDisplay() { endChild(m_wm); } // the window manager first, then the server
    bool ok() const { return m_ok; }

private:
    XServer m_x;
    pid_t m_wm = -1;
    bool m_ok = false;
};

} // namespace selvina::testing
