#include "server/manifest_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/tb_syslog.hpp"
#include "net/tb_device.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_service.hpp"

namespace {

constexpr std::size_t notify_buffer_size = 16448;
constexpr std::uint32_t service_list_delay_ms = 100;
constexpr std::size_t max_failures_kept = 16;
constexpr int writer_nice = 10;
constexpr std::uint32_t watched_events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
constexpr std::uint32_t written_events = IN_CLOSE_WRITE | IN_MOVED_TO;
constexpr std::uint32_t removed_events = IN_DELETE | IN_MOVED_FROM;

class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

void notify_thread_function(int inotify_fd, int wake_fd, const std::atomic<bool> *stop);

// The watcher thread with its descriptors; stopping wakes it through an
// eventfd and joins it.
class store_watcher {
  public:
    ~store_watcher() { stop(); }

    void start(const std::string &directory) {
        stop();
        unique_fd inotify(inotify_init1(IN_CLOEXEC));
        unique_fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (inotify.get() < 0 || wake.get() < 0)
            return;
        // A missing directory leaves the watcher without events.
        (void)inotify_add_watch(inotify.get(), directory.c_str(), watched_events);
        stop_ = false;
        try {
            thread_ = std::thread(notify_thread_function, inotify.get(), wake.get(), &stop_);
        } catch (const std::system_error &error) {
            std::printf("Create thread failed with error: %d\n", error.code().value());
            return;
        }
        inotify_ = std::move(inotify);
        wake_ = std::move(wake);
    }

    void stop() {
        if (!thread_.joinable())
            return;
        stop_ = true;
        const std::uint64_t one = 1;
        (void)::write(wake_.get(), &one, sizeof one);
        thread_.join();
        inotify_.reset();
        wake_.reset();
    }

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    unique_fd inotify_;
    unique_fd wake_;
};

// Writes the store's files on a thread of its own, so that the synced
// writes never hold up a tick. Files are written in the order they were
// first queued; a file queued again before it was written is written once,
// with its newest text. Until a file is on disk, reads get its queued text.
class store_writer {
  public:
    // A text, or what makes it: a text that takes long to make (the service
    // list) is made on the writer thread from a copy of what it shows.
    struct item {
        std::string text;
        std::function<std::string()> make;

        std::string get() const { return make ? make() : text; }
    };

    ~store_writer() { stop(); }

    // start() and stop() are called by one thread at a time.
    void start() {
        if (thread_.joinable())
            return;
        std::lock_guard lock(mutex_);
        stopping_ = false;
        try {
            thread_ = std::thread([this] { run(); });
            accepting_ = true;
        } catch (const std::system_error &error) {
            std::printf("Create thread failed with error: %d\n", error.code().value());
        }
    }

    // Writes what is queued, then ends the thread.
    void stop() {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
        thread_ = {};
    }

    // False when the file cannot even be queued (and could not be written
    // either, without the thread).
    bool queue(const std::string &path, item next) {
        {
            std::lock_guard lock(mutex_);
            // Once the thread has written its last file, nothing would
            // write a queued one.
            if (!accepting_)
                return manifest_server_write_file(path, next.get());
            auto [entry, added] = pending_.try_emplace(path);
            entry->second = std::move(next);
            if (added)
                order_.push_back(path);
            queued_at_[path] = ++generation_;
        }
        wake_.notify_one();
        return true;
    }

    // The text that is on its way to path, if any.
    bool queued_text(const std::string &path, std::string &out) {
        std::lock_guard lock(mutex_);
        if (const auto entry = pending_.find(path); entry != pending_.end()) {
            out = entry->second.get();
            return true;
        }
        if (busy_ && busy_path_ == path) {
            out = busy_item_.get();
            return true;
        }
        return false;
    }

    // When path was last queued (a count over all queued texts); a reader
    // that sees the same value before and after reading the file read what
    // the store means to be there.
    std::uint64_t generation(const std::string &path) {
        std::lock_guard lock(mutex_);
        const auto entry = queued_at_.find(path);
        return entry == queued_at_.end() ? 0 : entry->second;
    }

    // Names of the files that could not be written since the last call.
    std::vector<std::string> take_failures() {
        std::lock_guard lock(mutex_);
        return std::exchange(failed_, {});
    }

    void flush() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return (order_.empty() && !busy_) || !accepting_; });
    }

  private:
    void run() {
        // Files can wait; the ticks cannot. The writer never takes
        // tamber_mutex, so a lower priority holds nobody up.
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), writer_nice);
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !order_.empty(); });
            if (order_.empty()) {
                accepting_ = false;
                break;
            }
            busy_path_ = std::move(order_.front());
            order_.pop_front();
            const auto entry = pending_.find(busy_path_);
            busy_item_ = std::move(entry->second);
            pending_.erase(entry);
            busy_ = true;
            lock.unlock();
            const bool written = busy_item_.make
                                     ? manifest_server_write_file(busy_path_, busy_item_.make())
                                     : manifest_server_write_file(busy_path_, busy_item_.text);
            lock.lock();
            // Logged by the system thread: logging needs tamber_mutex, which
            // a caller of flush() may hold.
            if (!written && failed_.size() < max_failures_kept) {
                const std::size_t slash = busy_path_.rfind('/');
                failed_.push_back(busy_path_.substr(slash == std::string::npos ? 0 : slash + 1));
            }
            busy_ = false;
            if (order_.empty())
                idle_.notify_all();
        }
        idle_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::string> order_;
    std::unordered_map<std::string, item> pending_;
    std::string busy_path_;
    item busy_item_;
    bool busy_ = false;
    bool stopping_ = false;
    bool accepting_ = false; // the thread runs and will write what is queued
    std::uint64_t generation_ = 0;
    std::unordered_map<std::string, std::uint64_t> queued_at_;
    std::vector<std::string> failed_;
    std::thread thread_;
};

struct manifest_server_state {
    std::string directory;
    tb_timer save_timer;
    std::uint8_t save_pending = 0;
};

manifest_server_state manifest_server;
store_writer writer;
store_watcher watcher;

std::string file_path(std::string_view name) {
    return manifest_server.directory + "/" + std::string(name);
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string directory_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The whole file, or false when it cannot be read or is larger than any
// document a transfer accepts.
bool read_plain_file(const std::string &path, std::string &out) {
    out.clear();
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) >= tb_manifest_max_limit)
        return false;
    std::string text;
    try {
        text.resize(static_cast<std::size_t>(info.st_size));
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    out = std::move(text);
    return true;
}

bool parses_as_object(std::string_view text) {
    const JsonPtr document = json_decode(text);
    return document && document->tag == JsonTag::object;
}

// Moves an unparsable manifest aside under a name the watcher ignores, so
// that the defaults or the last good version written next do not destroy
// what somebody wrote.
void keep_backup(tb_id id, const char *origin) {
    const std::string path = manifest_server_path(id);
    std::array<char, 32> stamp{};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local))
        std::strftime(stamp.data(), stamp.size(), "%Y%m%d-%H%M%S", &local);
    for (int n = 0; n < 100; ++n) {
        std::string name =
            std::string(manifest_server_backup_prefix) + tb_id_text(id) + "-" + stamp.data();
        if (n > 0)
            name += "-" + std::to_string(n);
        name += ".bad";
        const std::string backup = file_path(name);
        if (::access(backup.c_str(), F_OK) == 0)
            continue;
        if (std::rename(path.c_str(), backup.c_str()) != 0)
            break;
        tb_syslog_error(origin, id, "unparsable manifest kept as %s", name.c_str());
        return;
    }
    tb_syslog_error(origin, id, "unparsable manifest could not be kept");
}

void commit_loaded(tb_id id, const std::string &text, bool parsed);

struct service_list_entry {
    tb_id id;
    std::array<char, 16> type;
    bool alert;
    std::uint32_t stamp;
};

std::string encode_service_list(const std::vector<service_list_entry> &entries) {
    JsonPtr root = json_mkobject();
    JsonNode *list = json_append_member(root.get(), "service_list", json_mkarray());
    for (const service_list_entry &service : entries) {
        JsonNode *entry = json_append_element(list, json_mkobject());
        json_append_member(entry, "id", json_mkstring(tb_id_text(service.id)));
        json_append_member(entry, "type", json_mkstring(tb_text(service.type)));
        json_append_member(entry, "alert", json_mkstring(service.alert ? "*" : ""));
        std::array<char, 9> stamp{};
        std::snprintf(stamp.data(), stamp.size(), "%08X", service.stamp);
        json_append_member(entry, "stamp", json_mkstring(stamp.data()));
    }
    return json_encode(root.get());
}

void schedule_service_list() {
    tb_timer_restart(manifest_server.save_timer, service_list_delay_ms);
    manifest_server.save_pending = 1;
}

void service_proc(void *, tb_service_record &, std::uint32_t events) {
    if (events & (tb_event_added | tb_event_flag))
        schedule_service_list();
}

void init_proc(void *, tb_id) {
    manifest_server.save_timer = {};
    manifest_server.save_pending = 0;
    tb_service_add_proc(service_proc, nullptr, tb_id_broadcast());
}

void task_proc(void *, std::uint32_t) {
    for (const std::string &name : writer.take_failures())
        tb_syslog_error("manifest_server", tb_device_own_id(), "cannot write %s", name.c_str());
    if (manifest_server.save_pending && tb_timer_expired(manifest_server.save_timer)) {
        manifest_server.save_pending = 0;
        save_service_list();
    }
}

void handle_event(std::string_view name, std::uint32_t mask) {
    const tb_id id = tb_id_sscan(name.substr(0, tb_id_text_size - 1));
    if (tb_id_is_unknown(id))
        return;
    if (id == tb_id_broadcast() || !(mask & written_events)) {
        std::lock_guard lock(tamber_mutex);
        if (id == tb_id_broadcast()) {
            if (mask & removed_events)
                save_service_list();
        } else if (mask & removed_events) {
            update_manifest(id);
        }
        return;
    }
    // Read and parsed before the lock is taken, so a large document does
    // not hold up the ticks; read again under the lock if the store queued
    // a new text for the file meanwhile.
    const std::string path = manifest_server_path(id);
    const std::uint64_t queued = writer.generation(path);
    std::string text;
    const bool loaded = load_manifest(id, text);
    const bool parsed = loaded && parses_as_object(text);
    std::lock_guard lock(tamber_mutex);
    if (writer.generation(path) != queued)
        commit_manifest(id);
    else if (loaded)
        commit_loaded(id, text, parsed);
}

void notify_thread_function(int inotify_fd, int wake_fd, const std::atomic<bool> *stop) {
    alignas(inotify_event) std::array<char, notify_buffer_size> buffer{};
    while (!stop->load() && abort_signal.load() == 0) {
        std::array<pollfd, 2> fds{{{inotify_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), 250) <= 0)
            continue;
        if (fds[1].revents != 0)
            break;
        const ssize_t n = ::read(inotify_fd, buffer.data(), buffer.size());
        if (n <= 0)
            continue;
        const auto size = static_cast<std::size_t>(n);
        std::size_t offset = 0;
        while (offset + sizeof(inotify_event) <= size && !stop->load()) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const std::size_t name_offset = offset + sizeof event;
            offset = name_offset + event.len;
            if (event.len == 0 || offset > size)
                continue;
            const std::string_view field(buffer.data() + name_offset, event.len);
            const std::string_view name = field.substr(0, field.find('\0'));
            if (!(event.mask & watched_events))
                continue;
            try {
                handle_event(name, event.mask);
            } catch (...) {
                // Nothing may end the watcher; the next event is handled as usual.
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

} // namespace

const tb_task_descriptor manifest_server_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = nullptr,
};

void manifest_server_start(std::string_view directory) {
    watcher.stop();
    tb_task_add(manifest_server_task, tb_device_own_id());
    manifest_server.directory = std::string(directory.substr(0, manifest_server_path_max));
    writer.start();
    watcher.start(manifest_server.directory);
    tb_manifest_add_handler(manifest_handler, nullptr, tb_id_broadcast(), tb_manifest_key_update);
}

void manifest_server_stop() {
    watcher.stop();
    writer.stop();
}

void manifest_server_flush() {
    writer.flush();
}

bool manifest_server_queue_file(const std::string &path, std::string_view text) {
    return writer.queue(path, {.text = std::string(text), .make = {}});
}

bool manifest_server_read_file(const std::string &path, std::string &out) {
    if (writer.queued_text(path, out))
        return true;
    return read_plain_file(path, out);
}

std::string manifest_server_path(tb_id id) {
    return file_path(tb_id_text(id) + ".kst");
}

bool manifest_server_write_file(const std::string &path, std::string_view text) {
    const std::string directory = directory_of(path);
    std::string temp = directory + "/" + std::string(manifest_server_temp_prefix) + "-XXXXXX";
    unique_fd fd(::mkstemp(temp.data()));
    if (fd.get() < 0)
        return false;
    const bool written =
        ::fchmod(fd.get(), 0666) == 0 && write_all(fd.get(), text) && ::fsync(fd.get()) == 0;
    const int closed = ::close(fd.release());
    if (!written || closed != 0 || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself must reach the disk too.
    unique_fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        (void)::fsync(dir.get());
    return true;
}

bool load_manifest(tb_id id, std::string &out) {
    out.clear();
    if (manifest_server.directory.empty())
        return false;
    return manifest_server_read_file(manifest_server_path(id), out);
}

bool save_manifest(tb_id id, std::string_view document) {
    // Without a store directory the files would land in the root directory.
    if (manifest_server.directory.empty())
        return false;
    return writer.queue(manifest_server_path(id), {.text = std::string(document), .make = {}});
}

void manifest_server_load(tb_id id) {
    std::string text;
    if (!load_manifest(id, text)) {
        tb_manifest_local_commit(id, {});
        return;
    }
    if (!text.empty() && !parses_as_object(text)) {
        keep_backup(id, "manifest_server_load");
        text.clear();
    }
    tb_manifest_local_commit(id, text);
}

void commit_manifest(tb_id id) {
    std::string text;
    if (load_manifest(id, text))
        commit_loaded(id, text, parses_as_object(text));
}

namespace {

void commit_loaded(tb_id id, const std::string &text, bool parsed) {
    if (!tb_service_get_data(id))
        return;
    // The owner would replace a broken document by its defaults: keep what
    // was written and put the last good version back instead.
    if (!parsed) {
        // The owner's own published version, broken as it may be: writing
        // it back would only raise the next event, endlessly.
        std::string_view published;
        if (tb_manifest_read_update(id, published) && published == text)
            return;
        if (!text.empty())
            keep_backup(id, "commit_manifest");
        update_manifest(id);
        return;
    }
    tb_manifest_write_commit(id, text);
}

} // namespace

bool update_manifest(tb_id id) {
    std::string_view document;
    if (!tb_manifest_read_update(id, document))
        return false;
    save_manifest(id, document);
    schedule_service_list();
    return true;
}

void manifest_handler(void *, tb_id id) {
    update_manifest(id);
}

bool save_service_list() {
    // Copied here, encoded by the writer: a full registry takes milliseconds
    // to encode, too long for a tick.
    std::vector<service_list_entry> entries;
    entries.reserve(tb_service_capacity);
    for (tb_service_record *record = tb_service_get_next(nullptr); record;
         record = tb_service_get_next(record))
        entries.push_back({record->id, record->type, record->flag[0] == '1',
                           record->manifest.transfer[tb_manifest_key_update].received_stamp});
    if (manifest_server.directory.empty())
        return false;
    return writer.queue(file_path(tb_id_text(tb_id_broadcast()) + ".kst"),
                        {.text = {}, .make = [entries = std::move(entries)] {
                             return encode_service_list(entries);
                         }});
}
