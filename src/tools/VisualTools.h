// take_screenshot, describe_visual and analyze_visual_precisely: the screen as pixels, for what the
// accessibility tree cannot give (pictures, charts, scans, applications without a tree).
// Thread: main thread; capturing and encoding run on the capture worker.
#pragma once

#include "capture/ScreenCapture.h"
#include "core/Clock.h"
#include "tools/SelvinaTool.h"
#include "voice/VoiceEngine.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QUrl>

#include <chrono>

namespace selvina::tools {

// take_screenshot: captures and describes the image technically (source, size, bytes), not its content.
class ScreenshotTool final : public SelvinaTool {
public:
    explicit ScreenshotTool(std::shared_ptr<capture::ScreenCapture> capture) : m_capture(std::move(capture)) {}
    ToolDefinition definition() const override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;

    static Result<capture::ScreenCaptureScope, ToolError> decode(const QString& argumentsJSON);
    static ToolError asToolError(const capture::ScreenCaptureError& error);
    static QString report(const capture::CapturedImage& image);

private:
    std::shared_ptr<capture::ScreenCapture> m_capture;
};

// The arguments of the two visual tools: strings are trimmed; no scope means the full screen.
struct VisualArguments {
    capture::ScreenCaptureScope scope;
    std::optional<QString> focus;
    std::optional<QString> question;
    static Result<VisualArguments, ToolError> decode(const QString& argumentsJSON);
};

// describe_visual: the frame joins the live conversation as a user message for the voice model itself.
class DescribeVisualTool final : public SelvinaTool {
public:
    DescribeVisualTool(std::shared_ptr<capture::ScreenCapture> capture, voice::VoiceEngine* voice)
        : m_capture(std::move(capture)), m_voice(voice)
    {
    }
    ToolDefinition definition() const override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;
    static QString prompt(const VisualArguments& arguments);

private:
    std::shared_ptr<capture::ScreenCapture> m_capture;
    QPointer<voice::VoiceEngine> m_voice;
};

// analyze_visual_precisely: the frame and a question go to a separate vision model over HTTP; its
// Polish text is the answer, and the frame does not stay in the conversation.
class AnalyzeVisualTool final : public SelvinaTool {
public:
    static constexpr std::chrono::milliseconds kTimeout{90'000};
    static constexpr qint64 kMaxResponseBytes = 4 * 1024 * 1024; // an answer is a few KB of text

    struct Options {
        QString apiKey;
        QString model;
        QUrl endpoint; // …/v1/chat/completions on the service's base address
        Clock* clock = nullptr; // required
        std::chrono::milliseconds timeout = kTimeout;
    };
    AnalyzeVisualTool(std::shared_ptr<capture::ScreenCapture> capture, Options options);
    ToolDefinition definition() const override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON, std::shared_ptr<CallCancellation> cancellation) override;

    static QString prompt(const VisualArguments& arguments);
    static QByteArray requestBody(const QString& model, const QString& prompt, const QByteArray& jpeg);
    // The service's answer whatever its HTTP status (0: not HTTP); a body over the cap is not looked at.
    static ToolOutcome interpret(int status, const QByteArray& body);

private:
    struct Reply;
    QCoro::Task<Reply> post(QByteArray body, std::shared_ptr<CallCancellation> cancellation);

    std::shared_ptr<capture::ScreenCapture> m_capture;
    Options m_options;
    QNetworkAccessManager m_network;
};

} // namespace selvina::tools
