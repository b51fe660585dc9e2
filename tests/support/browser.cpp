// Pages opened in headless Chromium through the DevTools protocol: commands written to the browser's
// descriptor 3, its answers and events read from its descriptor 4, each message ended by a NUL byte.
#include "browser.hpp"

#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <stdexcept>

namespace dofmap::testing {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string> chromiumCommand(const fs::path& profile, int width, int height)
{
    return {"chromium",
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--hide-scrollbars",
            "--force-device-scale-factor=1",
            "--user-data-dir=" + profile.string(),
            "--window-size=" + std::to_string(width) + "," + std::to_string(height)};
}

std::string fileUrl(const fs::path& path)
{
    std::string url = "file://";
    for (const char c : fs::absolute(path).string()) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~' || c == '/';
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", unsigned(static_cast<unsigned char>(c)));
        url += plain ? std::string(1, c) : std::string(escaped);
    }
    return url;
}

namespace {

// A browser started on two pipes, killed with whatever it started when it is done with.
class DevToolsSession {
public:
    DevToolsSession(const fs::path& profile, int width, int height, Clock::time_point deadline) : deadline_(deadline)
    {
        int commands[2], answers[2];
        if (::pipe2(commands, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        if (::pipe2(answers, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> arguments = chromiumCommand(profile, width, height);
        arguments.push_back("--remote-debugging-pipe");
        arguments.push_back("about:blank");
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            const int quiet = ::open("/dev/null", O_RDWR);
            // Descriptors 3 and 4 as the protocol wants them, moved out of the way first (the pipes
            // may be 3 and 4 already); dup2 clears the close-on-exec flag of the copies.
            const int reading = ::fcntl(commands[0], F_DUPFD_CLOEXEC, 10);
            const int writing = ::fcntl(answers[1], F_DUPFD_CLOEXEC, 10);
            if (quiet < 0 || reading < 0 || writing < 0 || ::dup2(quiet, 0) < 0 || ::dup2(quiet, 1) < 0 ||
                ::dup2(quiet, 2) < 0 || ::dup2(reading, 3) < 0 || ::dup2(writing, 4) < 0)
                ::_exit(126);
            ::setpgid(0, 0);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(commands[0]);
        ::close(answers[1]);
        out_ = commands[1];
        in_ = answers[0];
    }

    ~DevToolsSession()
    {
        ::close(out_);
        ::close(in_);
        // The browser ends on Browser.close or on its closed pipe; past a short wait it is killed.
        const auto until = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= until) {
                ::kill(-pid_, SIGKILL);
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            ::usleep(20000);
        }
        ::kill(-pid_, SIGKILL);  // what the browser started and left behind
    }

    // Sends a command, to the page's session when `session` is given; returns its id.
    int send(const std::string& method, const nlohmann::json& parameters = nlohmann::json::object(),
             const std::string& session = "")
    {
        nlohmann::json message{{"id", ++lastId_}, {"method", method}, {"params", parameters}};
        if (!session.empty()) message["sessionId"] = session;
        const std::string text = message.dump() + '\0';
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t wrote = ::write(out_, text.data() + done, text.size() - done);
            if (wrote <= 0) throw std::runtime_error("the browser stopped reading its commands");
            done += std::size_t(wrote);
        }
        return lastId_;
    }

    // The next message, or nullopt when the time ran out or the browser closed its pipe.
    std::optional<nlohmann::json> receive()
    {
        while (true) {
            const std::size_t end = buffer_.find('\0');
            if (end != std::string::npos) {
                const std::string text = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return nlohmann::json::parse(text);
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd reader{in_, POLLIN, 0};
            if (::poll(&reader, 1, int(left.count())) <= 0) continue;
            char chunk[65536];
            const ssize_t got = ::read(in_, chunk, sizeof chunk);
            if (got <= 0) return std::nullopt;
            buffer_.append(chunk, std::size_t(got));
        }
    }

    // Reads until the answer to command `id` (or until the event `method` when given), noting the
    // errors that the page reports meanwhile. Throws when the time runs out or the command fails.
    nlohmann::json await(int id, std::vector<std::string>& errors, const std::string& method = "")
    {
        while (const std::optional<nlohmann::json> message = receive()) {
            noteErrors(*message, errors);
            if (!method.empty() && message->value("method", "") == method) return *message;
            if (method.empty() && message->value("id", -1) == id) {
                if (message->contains("error")) throw std::runtime_error("the browser refused: " + message->dump());
                return (*message)["result"];
            }
        }
        throw std::runtime_error("no answer from the browser in time");
    }

private:
    static void noteErrors(const nlohmann::json& message, std::vector<std::string>& errors)
    {
        const std::string method = message.value("method", "");
        const nlohmann::json& parameters = message.contains("params") ? message["params"] : nlohmann::json();
        if (method == "Log.entryAdded" && parameters["entry"].value("level", "") == "error")
            errors.push_back(parameters["entry"].value("text", "") + " " + parameters["entry"].value("url", ""));
        if (method == "Runtime.consoleAPICalled" && parameters.value("type", "") == "error")
            errors.push_back("console.error: " + parameters["args"].dump());
        if (method == "Runtime.exceptionThrown") errors.push_back("exception: " + parameters.dump());
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    int lastId_ = 0;
    std::string buffer_;
    Clock::time_point deadline_;
};

}  // namespace

PageVisit visitPage(const std::string& url, const std::string& expression, int width, int height,
                    std::chrono::milliseconds limit)
{
    PageVisit visit;
    const TemporaryDirectory profile("dofmap-chromium");
    try {
        DevToolsSession browser(profile.path(), width, height, Clock::now() + limit);
        const nlohmann::json target =
            browser.await(browser.send("Target.createTarget", {{"url", "about:blank"}}), visit.errors);
        const nlohmann::json attached = browser.await(
            browser.send("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}), visit.errors);
        const std::string session = attached["sessionId"];
        for (const char* domain : {"Runtime.enable", "Log.enable", "Page.enable"})
            browser.await(browser.send(domain, nlohmann::json::object(), session), visit.errors);
        browser.send("Page.navigate", {{"url", url}}, session);
        browser.await(0, visit.errors, "Page.loadEventFired");
        // Every image loaded and decoded (a broken one rejects, which is noted by the page's log
        // already), then the expression.
        const std::string script = "(async () => { const images = [...document.images];"
                                   " images.forEach(i => { i.loading = 'eager'; });"
                                   " await Promise.all(images.map(i => i.decode().catch(() => null)));"
                                   " return JSON.stringify(" +
            expression + "); })()";
        const nlohmann::json result = browser.await(
            browser.send("Runtime.evaluate", {{"expression", script}, {"awaitPromise", true}, {"returnByValue", true}},
                         session),
            visit.errors);
        if (result.contains("exceptionDetails"))
            visit.failure = "the expression failed: " + result["exceptionDetails"].dump();
        else
            visit.value = nlohmann::json::parse(result["result"].value("value", "null"));
        browser.send("Browser.close");
    } catch (const std::exception& error) {
        visit.failure = error.what();
    }
    return visit;
}

}  // namespace dofmap::testing
