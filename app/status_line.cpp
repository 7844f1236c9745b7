#include "app/status_line.h"

#include <chrono>

#include <unistd.h>

namespace app {

void StatusLine::Draw(const std::string& text) {
    const std::lock_guard<std::mutex> guard(lock_);
    text_ = text;
    Show();
}

void StatusLine::Print(std::FILE* stream, std::string_view text) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    if (stream == stdout && !text.empty()) {
        atLineStart_ = text.back() == '\n';
    }
    Show();
}

void StatusLine::End() {
    const std::lock_guard<std::mutex> guard(lock_);
    if (shown_) {
        std::fputs("\r\033[K", stderr);
    }
    shown_ = false;
    text_.clear();
}

void StatusLine::Show() {
    if (!text_.empty() && atLineStart_) {
        std::fputs(("\r\033[K" + text_).c_str(), stderr);
        shown_ = true;
    }
}

Progress::Progress(StatusLine& line, machine::Config& config, double seconds) {
    if (isatty(STDERR_FILENO) == 0) {
        running_ = false;
        return;
    }
    config.output = [&line](const std::string& text) { line.Print(stdout, text); };
    thread_ = std::thread([this, &line, seconds] {
        while (running_) {
            machine::Report report;
            if (machine::Progress(&report)) {
                char total[32] = "";
                if (seconds > 0) {
                    std::snprintf(total, sizeof total, " of %.1f s", seconds);
                }
                char text[128];
                std::snprintf(text, sizeof text, "%.1f s%s, %llu blocks, %llu overruns",
                              static_cast<double>(report.timeUs) / 1e6, total,
                              static_cast<unsigned long long>(report.blocks),
                              static_cast<unsigned long long>(report.overruns));
                line.Draw(text);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        line.End();
    });
}

Progress::~Progress() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace app
