// orvel-server: a local speech server that OpenAI-compatible clients, browsers
// and scripts can use. One engine thread owns the library; HTTP threads queue
// requests on it and stream the audio back sentence by sentence.
#include "engine.h"
#include "http_api.h"
#include "listen_socket.h"
#include "wyoming_service.h"
#include "voice_info.h"
#include "cli.h"
#include "lexicon.h"
#include "text_pieces.h"

#include "orvel.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace orvel_server;
using orvel_tools::VoiceInfo;
using orvel_tools::message;
using orvel_tools::parse_number;

namespace {

constexpr int kMaxVoices = 8;  // the library's voice slots

struct Params {
    std::string host = "127.0.0.1";
    int port = 5500;
    std::string voice_dir;  // empty: the bundled voices
    std::vector<std::string> models;
    std::string default_voice;
    std::string api_key;
    std::string espeak_data;
    size_t max_queue = 64;
    size_t max_input = 100000;
    double grace = 10.0;
    double sentence_silence_ms = 200.0;
    std::string wyoming;    // empty: no Wyoming service
    size_t workers = 1;     // engine processes
    std::vector<std::string> allowed_hosts;
    bool verbose = false;   // the library's and ONNX Runtime's own lines too
    std::vector<std::string> lexicons;
};


void print_help() {
    std::printf(
        "usage: orvel-server [options]\n"
        "\n"
        "Serves speech over HTTP: OpenAI's POST /v1/audio/speech, GET /v1/audio/voices,\n"
        "GET /v1/models, a web page at /, GET /health and GET /metrics.\n"
        "\n"
        "options:\n"
        "  -h, --help               show this help and exit\n"
        "      --version            print the library version and exit\n"
        "      --host HOST          address to listen on (default: 127.0.0.1)\n"
        "      --port PORT          port to listen on, 0 for any free one (default: 5500)\n"
        "      --voice-dir DIR      load every <name>.onnx with its .onnx.json from DIR\n"
        "                           (default: the bundled voices)\n"
        "  -m, --model FILE.onnx    load this voice as well (repeatable; its config is FILE.onnx.json)\n"
        "      --default-voice NAME the voice used when a request names none, and for OpenAI's\n"
        "                           voice names (default: the first -m voice, else the voice with\n"
        "                           the most speakers, else the first by name)\n"
        "      --api-key KEY        require \"Authorization: Bearer KEY\" (default: $ORVEL_API_KEY, else none)\n"
        "      --allow-host NAME    on a loopback address, answer requests for Host NAME too (a reverse\n"
        "                           proxy's name; repeatable; default: loopback names only)\n"
        "      --max-queue N        speech requests accepted at once, per worker; more get 503 (default: 64)\n"
        "      --workers N          engine processes serving the one port, each with its own voices;\n"
        "                           about one per two cores (default: 1)\n"
        "      --max-input N        longest input in characters (default: 100000)\n"
        "      --grace SECONDS      on SIGTERM or SIGINT, time given to requests in progress (default: 10)\n"
        "      --sentence-silence MS  pause between sentences (default: 200)\n"
        "      --espeak-data DIR    eSpeak NG data folder (default: eSpeak NG's own)\n"
        "      --wyoming tcp://HOST:PORT  also serve the Wyoming protocol (Home Assistant) there;\n"
        "                           10200 is its usual port for speech (default: off)\n"
        "      --lexicon FILE       say words as FILE respells them: one \"word respelling\" a line\n"
        "                           (repeatable)\n"
        "  -v, --verbose            also log the library's and ONNX Runtime's own lines\n"
        "\n"
        "At most %d voices are loaded. The server prints \"listening on http://HOST:PORT\" on\n"
        "standard output when it is ready.\n",
        kMaxVoices);
}


// Returns 0 to go on, -1 after --help or --version, 2 for a usage error.
int parse_args(int argc, char **argv, Params *params) {
    if (const char *key = std::getenv("ORVEL_API_KEY")) params->api_key = key;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            print_help();
            return -1;
        }
        if (arg == "--version") {
            std::printf("orvel-server %s\n", orvel_version());
            return -1;
        }
        if (arg == "-v" || arg == "--verbose") {
            params->verbose = true;
            continue;
        }
        std::string name = arg, value;
        size_t equals = arg.find('=');
        bool inline_value = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inline_value) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        static const char *const kValued[] = {"--host",    "--port",      "--voice-dir", "-m",
                                              "--model",   "--default-voice", "--api-key", "--max-queue",
                                              "--max-input", "--grace",   "--sentence-silence", "--espeak-data",
                                              "--wyoming", "--allow-host", "--lexicon", "--workers"};
        if (std::none_of(std::begin(kValued), std::end(kValued), [&](const char *o) { return name == o; })) {
            message("unknown option '%s' (see --help)", arg.c_str());
            return 2;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                message("option '%s' needs a value (see --help)", name.c_str());
                return 2;
            }
            value = argv[++i];
        }
        double number = 0;
        bool ok = !value.empty();
        if (name == "--host") {
            params->host = value;
        } else if (name == "--port") {
            ok = ok && parse_number(value, 0, 65535, &number) && number == std::floor(number);
            params->port = static_cast<int>(number);
        } else if (name == "--voice-dir") {
            params->voice_dir = value;
        } else if (name == "-m" || name == "--model") {
            params->models.push_back(value);
        } else if (name == "--default-voice") {
            params->default_voice = value;
        } else if (name == "--api-key") {
            params->api_key = value;
        } else if (name == "--allow-host") {
            params->allowed_hosts.push_back(value);
        } else if (name == "--lexicon") {
            params->lexicons.push_back(value);
        } else if (name == "--espeak-data") {
            params->espeak_data = value;
        } else if (name == "--wyoming") {
            std::string host;
            int port = 0;
            ok = ok && parse_tcp_uri(value, &host, &port);
            params->wyoming = value;
        } else if (name == "--max-queue") {
            ok = ok && parse_number(value, 1, 100000, &number) && number == std::floor(number);
            params->max_queue = static_cast<size_t>(number);
        } else if (name == "--max-input") {
            ok = ok && parse_number(value, 1, 10000000, &number) && number == std::floor(number);
            params->max_input = static_cast<size_t>(number);
        } else if (name == "--workers") {
            ok = ok && parse_number(value, 1, 64, &number) && number == std::floor(number);
            params->workers = static_cast<size_t>(number);
        } else if (name == "--grace") {
            ok = ok && parse_number(value, 0, 3600, &params->grace);
        } else {
            ok = ok && parse_number(value, 0, 60000, &params->sentence_silence_ms);
        }
        if (!ok) {
            message("bad value '%s' for %s (see --help)", value.c_str(), name.c_str());
            return 2;
        }
    }
    return 0;
}

// The voices to load: -m ones first, then the voice folder's, at most 8,
// the default voice first. Returns false after a message.
bool collect_voices(const Params &params, const char *argv0, std::vector<VoiceInfo> *voices, size_t *required) {
    for (const std::string &model : params.models) {
        VoiceInfo info;
        std::string error;
        if (!orvel_tools::read_voice_info(model, "", &info, &error)) {
            message("cannot use the voice '%s': %s", model.c_str(), error.c_str());
            return false;
        }
        if (!info.config_problem.empty())
            message("the voice '%s' has no speaker names or language: %s", model.c_str(), info.config_problem.c_str());
        voices->push_back(info);
    }
    *required = voices->size();
    std::vector<std::string> dirs;
    if (!params.voice_dir.empty()) {
        dirs.push_back(params.voice_dir);
    } else if (params.models.empty()) {
        dirs = orvel_tools::bundled_voice_dirs(argv0);
        if (!dirs.empty()) dirs.resize(1);
    }
    for (const std::string &dir : dirs) {
        std::vector<VoiceInfo> found;
        std::vector<std::string> problems;
        std::string error;
        if (!orvel_tools::scan_voice_dir(dir, &found, &problems, &error)) {
            message("%s", error.c_str());
            return false;
        }
        for (const std::string &problem : problems) message("skipping a voice: %s", problem.c_str());
        for (VoiceInfo &info : found) {
            bool duplicate = std::any_of(voices->begin(), voices->end(),
                                         [&](const VoiceInfo &v) { return v.name == info.name; });
            if (duplicate) {
                message("skipping '%s': a voice of that name is loaded already", info.model_path.c_str());
            } else {
                voices->push_back(std::move(info));
            }
        }
    }
    if (voices->empty()) {
        message("no voice: give a voice folder with --voice-dir or a model with -m (no bundled voice is installed)");
        return false;
    }
    if (params.default_voice.empty() && params.models.empty()) {
        // Without a choice, the voice with the most speakers leads, so that
        // OpenAI's voice names reach different speakers; ties go by name.
        auto most = std::max_element(voices->begin(), voices->end(), [](const VoiceInfo &a, const VoiceInfo &b) {
            return a.num_speakers < b.num_speakers;
        });
        std::rotate(voices->begin(), most, most + 1);
    }
    if (!params.default_voice.empty()) {
        auto it = std::find_if(voices->begin(), voices->end(),
                               [&](const VoiceInfo &v) { return v.name == params.default_voice; });
        if (it == voices->end()) {
            message("--default-voice '%s' is not among the voices found", params.default_voice.c_str());
            return false;
        }
        if (it - voices->begin() >= static_cast<long>(*required)) *required += 1;
        std::rotate(voices->begin(), it, it + 1);
    }
    if (voices->size() > kMaxVoices) {
        for (size_t i = kMaxVoices; i < voices->size(); ++i)
            message("skipping '%s': at most %d voices are loaded", (*voices)[i].name.c_str(), kMaxVoices);
        voices->resize(kMaxVoices);
    }
    return true;
}

// Tells systemd how the service is doing ("READY=1", "STOPPING=1") when it
// started the server as a Type=notify unit. The protocol is one datagram on
// the socket $NOTIFY_SOCKET names, stable and documented for programs that do
// not link libsystemd; nothing happens without it.
void notify_service_manager(const char *state) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@')) return;
    sockaddr_un address{};
    size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ssize_t sent = ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address),
                            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    (void)sent;
    ::close(fd);
}

// The sockets the server listens on, bound before any worker starts.
struct Listeners {
    int http = -1;
    int http_port = 0;
    int wyoming = -1;
    std::string wyoming_host;
    int wyoming_port = 0;
};

// Returns 0, or 4 after a message.
int bind_listeners(const Params &params, Listeners *out) {
    std::string error;
    out->http = listen_on(params.host, params.port, &out->http_port, &error);
    if (out->http < 0) {
        message("cannot listen on %s:%d: %s", params.host.c_str(), params.port, error.c_str());
        return 4;
    }
    if (!params.wyoming.empty()) {
        int port = 0;
        parse_tcp_uri(params.wyoming, &out->wyoming_host, &port);
        out->wyoming = listen_on(out->wyoming_host, port, &out->wyoming_port, &error);
        if (out->wyoming < 0) {
            message("cannot listen on %s: %s", params.wyoming.c_str(), error.c_str());
            return 4;
        }
    }
    return 0;
}

void announce(const Params &params, const Listeners &listeners) {
    if (listeners.wyoming >= 0)
        std::printf("orvel-server: wyoming on tcp://%s:%d\n", listeners.wyoming_host.c_str(), listeners.wyoming_port);
    std::printf("orvel-server: listening on http://%s:%d\n", params.host.c_str(), listeners.http_port);
    std::fflush(stdout);
    notify_service_manager("READY=1");
}

// Which engine process this is: the only one (announces itself), or worker
// `index` of several, which tells its parent on ready_fd once it serves.
struct Role {
    size_t index = 0;
    size_t workers = 1;
    int ready_fd = -1;
    bool worker() const { return ready_fd >= 0; }
};

// One engine with its front-ends, until a stop signal.
int serve(const Params &params, const EngineOptions &engine_options, const WyomingOptions &wyoming_options,
          const Listeners &listeners, const Role &role, const sigset_t &stop_signals) {
    // The first worker speaks for all of them; the others only of trouble.
    const bool chatty = role.index == 0;
    Engine engine;
    std::string error;
    if (!engine.start(engine_options, &error)) {
        message("%s", error.c_str());
        return 3;
    }
    for (const std::string &skipped : engine.skipped())
        if (chatty) message("skipping a voice: %s", skipped.c_str());
    for (const VoiceInfo &voice : engine.voices())
        if (chatty)
            message("voice '%s' (%s, %d Hz, %d speaker%s)%s", voice.name.c_str(), voice.language.c_str(),
                    voice.sample_rate, voice.num_speakers, voice.num_speakers == 1 ? "" : "s",
                    &voice == &engine.voices()[0] ? ", the default" : "");

    HttpOptions http_options;
    http_options.api_key = params.api_key;
    http_options.max_input_chars = params.max_input;
    http_options.max_requests = params.max_queue;
    http_options.allowed_hosts = params.allowed_hosts;
    http_options.worker = role.index;
    http_options.workers = role.workers;
    HttpApi api(engine, http_options);
    api.adopt(listeners.http, params.host);

    std::unique_ptr<WyomingService> wyoming;
    if (listeners.wyoming >= 0) {
        wyoming.reset(new WyomingService(engine, wyoming_options));
        wyoming->adopt(listeners.wyoming);
        wyoming->start();
    }

    // On SIGTERM or SIGINT: stop listening at once, so that a balancer's next
    // connection is refused and goes to another server, and /health says 503
    // on connections still open; give the requests taken on the grace time,
    // then cancel what is left. A second signal during the grace time
    // cancels at once: whoever sends it has stopped waiting.
    std::atomic<bool> answered{false};  // api.serve() has returned
    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        if (!role.worker())  // a parent of workers has said so for all
            message("%s: stopping (up to %g s for requests in progress)", strsignal(signal_number), params.grace);
        if (!role.worker()) notify_service_manager("STOPPING=1");
        api.set_stopping();
        // Kept even when serve() has not started yet: a signal that comes
        // before the listener starts stops it too.
        api.stop();
        auto busy = [&] { return !answered || engine.stats().live_requests > 0; };
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(params.grace);
        const struct timespec poll = {0, 20 * 1000 * 1000};
        bool hurried = false;
        while (!hurried && busy() && std::chrono::steady_clock::now() < deadline)
            hurried = sigtimedwait(&stop_signals, nullptr, &poll) > 0;
        if (busy()) {
            // Spoken or being sent: a request may be in either count, or both.
            if (size_t left = std::max(engine.stats().live_requests, api.answering()))
                message("cancelling %zu request(s) still in progress", left);
            api.abort();
            engine.cancel_all("the server is shutting down");
            auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (busy() && std::chrono::steady_clock::now() < settle)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (wyoming) wyoming->stop();
    });

    if (role.worker()) {
        char byte = 1;
        ssize_t written = ::write(role.ready_fd, &byte, 1);
        (void)written;
    } else {
        announce(params, listeners);
    }
    // Tests widen the window between "listening on" and the listener's start,
    // where a stop signal once went unnoticed.
    if (const char *delay = std::getenv("ORVEL_SERVER_TEST_SERVE_DELAY_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    bool served = api.serve();
    answered = true;
    if (!served) {
        message("the HTTP server stopped unexpectedly");
        stopper.detach();
        engine.stop();
        return 4;
    }
    stopper.join();
    engine.stop();
    if (chatty && !role.worker()) message("stopped");
    return 0;
}

// --workers N: N engine processes on the sockets bound here. The parent
// loads nothing: it starts the workers, announces the server once all of
// them serve, starts a worker again when one ends unexpectedly, and passes
// SIGTERM or SIGINT on to all (each then stops as a single server does).
int run_workers(const Params &params, const EngineOptions &engine_options, const WyomingOptions &wyoming_options,
                const Listeners &listeners, const sigset_t &stop_signals) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        message("cannot start the workers: %s", std::strerror(errno));
        return 3;
    }
    const size_t n = params.workers;
    std::vector<pid_t> pids(n, -1);
    auto spawn = [&](size_t index) {
        pid_t pid = ::fork();
        if (pid != 0) return pid;
        ::close(ready[0]);
        // A worker outlives no parent, and takes signals only from it (a
        // terminal's Ctrl-C reaches the parent's process group alone).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::setpgid(0, 0);
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        pthread_sigmask(SIG_UNBLOCK, &child, nullptr);
        Role role;
        role.index = index;
        role.workers = n;
        role.ready_fd = ready[1];
        std::exit(serve(params, engine_options, wyoming_options, listeners, role, stop_signals));
    };
    for (size_t i = 0; i < n; ++i) {
        pids[i] = spawn(i);
        if (pids[i] < 0) {
            message("cannot start a worker: %s", std::strerror(errno));
            for (pid_t pid : pids)
                if (pid > 0) ::kill(pid, SIGKILL);
            return 3;
        }
    }
    sigset_t waited = stop_signals;
    sigaddset(&waited, SIGCHLD);
    auto live = [&] { return std::count_if(pids.begin(), pids.end(), [](pid_t p) { return p > 0; }); };
    bool stopping = false, announced = false;
    int status_code = 0;
    size_t ready_count = 0;
    while (live() > 0) {
        if (!announced) {
            char bytes[64];
            pollfd p{ready[0], POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                ssize_t got = ::read(ready[0], bytes, sizeof bytes);
                if (got > 0) ready_count += static_cast<size_t>(got);
            }
            if (ready_count >= n && !stopping) {
                announce(params, listeners);
                announced = true;
            }
        }
        const struct timespec wait = {0, (announced ? 500 : 20) * 1000 * 1000};
        int signal_number = sigtimedwait(&waited, nullptr, &wait);
        if (signal_number == SIGTERM || signal_number == SIGINT) {
            if (!stopping) {
                message("%s: stopping %zu workers (up to %g s for requests in progress)", strsignal(signal_number),
                        n, params.grace);
                notify_service_manager("STOPPING=1");
                // No worker starts again now; the sockets close with the
                // last worker that stops listening, and connections are
                // refused from then on instead of waiting for nobody.
                ::close(listeners.http);
                if (listeners.wyoming >= 0) ::close(listeners.wyoming);
            }
            stopping = true;
            // A second one hurries them, as it hurries a single server.
            for (pid_t pid : pids)
                if (pid > 0) ::kill(pid, SIGTERM);
        }
        int status = 0;
        pid_t ended;
        while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0) {
            auto it = std::find(pids.begin(), pids.end(), ended);
            if (it == pids.end()) continue;
            size_t index = static_cast<size_t>(it - pids.begin());
            *it = -1;
            bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (stopping) {
                if (!clean) status_code = 1;
                continue;
            }
            if (!announced) {
                // Starting failed (a voice, the library): the same for every worker.
                stopping = true;
                status_code = WIFEXITED(status) ? WEXITSTATUS(status) : 3;
                for (pid_t pid : pids)
                    if (pid > 0) ::kill(pid, SIGTERM);
                continue;
            }
            message("worker %zu ended (%s %d); starting it again", index + 1,
                    WIFEXITED(status) ? "exit status" : "signal", WIFEXITED(status) ? WEXITSTATUS(status)
                                                                                    : WTERMSIG(status));
            std::this_thread::sleep_for(std::chrono::seconds(1));
            *it = spawn(index);
        }
    }
    if (status_code == 0) message("stopped");
    return status_code;
}

}  // namespace

int main(int argc, char **argv) {
    orvel_tools::set_program_name("orvel-server");
    Params params;
    int status = parse_args(argc, argv, &params);
    if (status == -1) return 0;
    if (status != 0) return status;

    // Signals are taken by one thread (below), never by an HTTP or engine
    // thread, so the mask is set before any thread starts. A client that
    // disconnects must give a write error, not end the server.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t blocked = stop_signals;
    if (params.workers > 1) sigaddset(&blocked, SIGCHLD);  // the parent waits for them
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);

    WyomingOptions wyoming_options;
    wyoming_options.version = orvel_version();  // before the engine thread owns the library
    wyoming_options.max_input_chars = params.max_input;
    wyoming_options.max_connections = params.max_queue;

    // Read once, before any thread or worker: every request's text goes through it.
    static orvel_tools::Lexicon lexicon;
    for (const std::string &path : params.lexicons) {
        std::string lexicon_error;
        if (!lexicon.load(path, &lexicon_error)) {
            message("%s", lexicon_error.c_str());
            return 2;
        }
    }
    use_lexicon(&lexicon);

    EngineOptions engine_options;
    if (!collect_voices(params, argv[0], &engine_options.voices, &engine_options.required_voices)) return 2;
    engine_options.espeak_data = params.espeak_data;
    engine_options.max_requests = params.max_queue;
    engine_options.sentence_silence_ms = params.sentence_silence_ms;

    // One line a request: the library's lines (several per sentence) only with -v.
    if (!params.verbose) orvel_tools::hide_library_output();
    Listeners listeners;
    if ((status = bind_listeners(params, &listeners)) != 0) return status;
    if (params.workers > 1) return run_workers(params, engine_options, wyoming_options, listeners, stop_signals);
    return serve(params, engine_options, wyoming_options, listeners, Role(), stop_signals);
}
