#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "core/json.hpp"
#include "net/manifest_fixture.hpp"
#include "server/manifest.hpp"
#include "server/manifest_server.hpp"

namespace {

namespace fs = std::filesystem;
using tb_test::sent_packets;

void commit_handler(void *context, tb_id) {
    auto &object = *static_cast<manifest_object *>(context);
    manifest_load(object);
    manifest_save(object, false);
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string("<missing>");
}

void write_plain(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The store with its watcher thread in a temporary directory. The test
// holds tamber_mutex except while it waits, as the system thread would.
class ManifestServerTest : public tb_test::ManifestFixture {
  protected:
    fs::path dir;
    std::unique_lock<std::mutex> lock{tamber_mutex, std::defer_lock};
    manifest_object object;
    tb_id user{};
    sent_packets seen;

    void SetUp() override {
        lock.lock();
        ManifestFixture::SetUp();
        std::string pattern = (fs::temp_directory_path() / "tb-manifest-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        manifest_server_start(dir.string());
    }

    void TearDown() override {
        lock.unlock();
        manifest_server_stop();
        ManifestFixture::TearDown();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path file_of(tb_id id) const { return dir / (tb_id_text(id) + ".kst"); }
    fs::path service_list() const { return dir / "FFFFFFFFFFFFFF.kst"; }

    void start_user() {
        user = tb_service_register_class(tb_class_user, "user");
        manifest_init(object, user, "SYN.00", "User %02i", 0);
        tb_manifest_add_handler(commit_handler, &object, user, tb_manifest_key_commit);
    }

    std::string member_text() const {
        const auto text = json_get_string(object.setup, "x");
        return text ? std::string(*text) : std::string("<missing>");
    }

    std::string name_in_registry() const {
        return std::string(tb_text(tb_service_get_data(user)->name));
    }

    // Lets the watcher run between ticks until done() holds (5 s at most).
    bool wait_until(const std::function<bool()> &done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            if (done())
                return true;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            lock.lock();
            seen.append(pump(3));
        }
        return done();
    }

    // Ticks enough for fetches through loopback, and gives the watcher time
    // for what those writes cause.
    void settle(int rounds = 60) {
        for (int i = 0; i < rounds; ++i) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            lock.lock();
            seen.append(pump(6));
        }
    }

    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        for (const auto &entry : fs::directory_iterator(dir))
            out.push_back(entry.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(ManifestServerTest, HelperFileNamesDoNotReadAsIds) {
    EXPECT_TRUE(tb_id_is_unknown(tb_id_sscan(manifest_server_temp_prefix)));
    EXPECT_TRUE(tb_id_is_unknown(tb_id_sscan(manifest_server_backup_prefix)));
    EXPECT_EQ(manifest_server_path(tb_id_broadcast()), (dir / "FFFFFFFFFFFFFF.kst").string());
}

TEST_F(ManifestServerTest, WriteFileReplacesAtomicallyWithPermissions) {
    const fs::path path = dir / "U0000000000011.kst";
    write_plain(path, "old content that is longer");
    ASSERT_TRUE(manifest_server_write_file(path.string(), "new"));
    EXPECT_EQ(read_file(path), "new");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    EXPECT_EQ(files(), std::vector<fs::path>{"U0000000000011.kst"}) << "no temporary file is left";
    EXPECT_FALSE(manifest_server_write_file((dir / "missing" / "x.kst").string(), "x"));
}

// The writer thread: reads see what is queued, the newest text of a file
// wins, a stop writes everything queued, and a file that cannot be written
// is reported by the next tick.
TEST_F(ManifestServerTest, QueuedFilesAreReadBackWrittenInOrderAndFlushedAtStop) {
    const fs::path path = dir / "U0000000000011.kst";
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(manifest_server_queue_file(path.string(), "v" + std::to_string(i)));
    std::string text;
    ASSERT_TRUE(manifest_server_read_file(path.string(), text));
    EXPECT_EQ(text, "v199") << "a read sees the newest queued text before it is on disk";
    const fs::path other = dir / "U0000000000012.kst";
    ASSERT_TRUE(manifest_server_queue_file(other.string(), "other"));

    lock.unlock();
    manifest_server_stop();
    lock.lock();
    EXPECT_EQ(read_file(path), "v199");
    EXPECT_EQ(read_file(other), "other");
    EXPECT_EQ(files(), (std::vector<fs::path>{"U0000000000011.kst", "U0000000000012.kst"}));

    // Without the writer thread a file is written at once.
    ASSERT_TRUE(manifest_server_queue_file(path.string(), "direct"));
    EXPECT_EQ(read_file(path), "direct");
    manifest_server_start(dir.string());
}

TEST_F(ManifestServerTest, FileThatCannotBeWrittenIsReported) {
    const fs::path path = dir / "missing" / "U0000000000011.kst";
    ASSERT_TRUE(manifest_server_queue_file(path.string(), "x"));
    manifest_server_flush();
    seen.append(pump(2));
    EXPECT_TRUE(seen.logged("manifest_server:cannot write U0000000000011.kst"));
    std::string text;
    EXPECT_FALSE(manifest_server_read_file(path.string(), text)) << "nothing is pretended to be there";
}

TEST_F(ManifestServerTest, LocalServiceWithoutFileGetsItsDefaultsStored) {
    start_user();
    manifest_server_load(user);
    ASSERT_TRUE(
        wait_until([&] { return fs::exists(file_of(user)) && fs::exists(service_list()); }));
    settle(10);
    EXPECT_EQ(read_file(file_of(user)), json_encode(object.document.get()));
    EXPECT_TRUE(seen.with(tb_op_manifest_commit).empty())
        << "the store's own writes commit nothing";

    const std::string list = read_file(service_list());
    const auto &update = tb_service_get_data(user)->manifest.transfer[tb_manifest_key_update];
    std::array<char, 9> stamp{};
    std::snprintf(stamp.data(), stamp.size(), "%08X", update.received_stamp);
    EXPECT_EQ(list, "{\"service_list\":[{\"id\":\"" + tb_id_text(user) +
                        "\",\"type\":\"SYN.00.user\",\"alert\":\"\","
                        "\"stamp\":\"" +
                        stamp.data() + "\"}]}");
}

TEST_F(ManifestServerTest, StoredManifestIsLoaded) {
    start_user();
    write_plain(file_of(user), "{\"service\":{\"name\":\"Kitchen\"},\"setup\":{\"keep\":\"me\"}}");
    manifest_server_load(user);
    EXPECT_EQ(name_in_registry(), "Kitchen");
    ASSERT_TRUE(wait_until(
        [&] { return read_file(file_of(user)).find("SYN.00.user") != std::string::npos; }));
    const std::string stored = read_file(file_of(user));
    EXPECT_NE(stored.find("\"keep\":\"me\""), std::string::npos);
    EXPECT_NE(stored.find("\"name\":\"Kitchen\""), std::string::npos);
}

TEST_F(ManifestServerTest, UnparsableStoredManifestIsKeptAsBackup) {
    start_user();
    const std::string broken = "{\"service\":{\"name\":\"Kitchen\"";
    write_plain(file_of(user), broken);
    seen.append(take_sent());
    manifest_server_load(user);
    seen.append(take_sent());
    EXPECT_EQ(name_in_registry(), "User 01");

    fs::path backup;
    for (const auto &name : files())
        if (name.string().rfind(std::string(manifest_server_backup_prefix) + tb_id_text(user), 0) ==
            0)
            backup = name;
    ASSERT_FALSE(backup.empty()) << "backup beside the store's files";
    EXPECT_EQ(read_file(dir / backup), broken);
    EXPECT_TRUE(seen.logged("manifest_server_load:unparsable manifest kept as " + backup.string()));

    ASSERT_TRUE(
        wait_until([&] { return read_file(file_of(user)).find("User 01") != std::string::npos; }));
    settle(10);
    EXPECT_EQ(read_file(dir / backup), broken) << "the backup is left alone";
}

TEST_F(ManifestServerTest, EditedFileIsCommittedAndTheAcceptedVersionWritten) {
    start_user();
    manifest_server_load(user);
    ASSERT_TRUE(wait_until([&] { return fs::exists(file_of(user)); }));
    settle(10);
    seen = {};

    // An editor writes a changed document (without type and limit).
    write_plain(file_of(user), "{\"service\":{\"name\":\"Bath\"},\"setup\":{\"x\":\"1\"}}");
    ASSERT_TRUE(wait_until([&] { return name_in_registry() == "Bath"; }));
    ASSERT_TRUE(wait_until([&] {
        const std::string stored = read_file(file_of(user));
        return stored.find("\"name\":\"Bath\"") != std::string::npos &&
               stored.find("SYN.00.user") != std::string::npos;
    }));
    EXPECT_EQ(member_text(), "1");
    EXPECT_EQ(seen.with(tb_op_manifest_commit).size(), 1u);
}

TEST_F(ManifestServerTest, UnparsableEditIsKeptAndTheLastVersionRestored) {
    start_user();
    write_plain(file_of(user), "{\"service\":{\"name\":\"Kitchen\"}}");
    manifest_server_load(user);
    ASSERT_TRUE(wait_until(
        [&] { return read_file(file_of(user)).find("SYN.00.user") != std::string::npos; }));
    settle(10);
    const std::string good = read_file(file_of(user));
    seen = {};

    write_plain(file_of(user), "{\"service\":");
    ASSERT_TRUE(wait_until([&] { return read_file(file_of(user)) == good; }));
    settle(10);
    EXPECT_EQ(name_in_registry(), "Kitchen") << "the service keeps its configuration";
    EXPECT_TRUE(seen.with(tb_op_manifest_commit).empty());
    EXPECT_TRUE(seen.logged("commit_manifest:unparsable manifest kept as " +
                            std::string(manifest_server_backup_prefix) + tb_id_text(user)));
}

TEST_F(ManifestServerTest, DeletedFilesAreWrittenAgain) {
    start_user();
    manifest_server_load(user);
    ASSERT_TRUE(
        wait_until([&] { return fs::exists(file_of(user)) && fs::exists(service_list()); }));
    settle(10);
    const std::string stored = read_file(file_of(user));
    const std::string list = read_file(service_list());

    fs::remove(file_of(user));
    ASSERT_TRUE(wait_until([&] { return fs::exists(file_of(user)); }));
    EXPECT_EQ(read_file(file_of(user)), stored);

    fs::remove(service_list());
    ASSERT_TRUE(wait_until([&] { return fs::exists(service_list()); }));
    EXPECT_EQ(read_file(service_list()), list);
}

TEST_F(ManifestServerTest, FilesThatAreNoIdAreIgnored) {
    start_user();
    manifest_server_load(user);
    ASSERT_TRUE(wait_until([&] { return fs::exists(file_of(user)); }));
    settle(10);
    seen = {};
    write_plain(dir / "tmp.kst", "{\"service\":{\"name\":\"Nobody\"}}");
    fs::remove(dir / "tmp.kst");
    settle(30);
    EXPECT_TRUE(seen.with(tb_op_manifest_commit).empty());
    EXPECT_EQ(name_in_registry(), "User 01");
}

TEST_F(ManifestServerTest, RemoteManifestsAreStoredAndListedEscaped) {
    const tb_id peer = tb_test::peer_device();
    const tb_id room = tb_test::peer_service_id(tb_class_room, 0);
    const tb_id quiet = tb_test::peer_service_id(tb_class_room, 1);
    tb_test::list_peer_services(peer, {room, quiet});
    tb_service_record *record = tb_service_get_data(room);
    ASSERT_NE(record, nullptr);
    tb_copy_text(record->type, "AMP.\"7\\");
    tb_copy_text(record->flag, "100000000000000");

    receive(tb_test::manifest_announce(tb_op_manifest_update, tb_id_broadcast(), peer, room, 0xAB));
    const std::string doc = std::string("{\"service\":{\"name\":\"Hall\"}}") + std::string(1, '\0');
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {room, 1, 0xAB, 0, static_cast<std::uint32_t>(doc.size()),
                                      static_cast<std::uint32_t>(doc.size()), doc}));
    manifest_server_flush();
    EXPECT_EQ(read_file(file_of(room)), "{\"service\":{\"name\":\"Hall\"}}");
    ASSERT_TRUE(wait_until([&] { return fs::exists(service_list()); }));

    const JsonPtr list = json_decode(read_file(service_list()));
    ASSERT_TRUE(list) << "valid JSON although a type holds a quote";
    const JsonNode *entries = json_find_member(list.get(), "service_list");
    ASSERT_NE(json_find_element(entries, 1), nullptr);
    const JsonNode *first = json_find_element(entries, 0);
    EXPECT_EQ(*json_get_string(first, "type"), "AMP.\"7\\");
    EXPECT_EQ(*json_get_string(first, "alert"), "*");
    EXPECT_EQ(*json_get_string(first, "stamp"), "000000AB");
    EXPECT_EQ(*json_get_string(json_find_element(entries, 1), "stamp"), "00000000");
}

TEST_F(ManifestServerTest, ServiceListFollowsAddedServicesAndFlags) {
    save_service_list();
    manifest_server_flush();
    EXPECT_EQ(read_file(service_list()), "{\"service_list\":[]}");
    const tb_id id = tb_service_register_class(tb_class_proxy, "proxy");
    seen.append(pump(150));
    manifest_server_flush();
    EXPECT_NE(read_file(service_list()).find(tb_id_text(id)), std::string::npos);
    tb_service_set_flag(id, 0, true);
    seen.append(pump(150));
    manifest_server_flush();
    EXPECT_NE(read_file(service_list()).find("\"alert\":\"*\""), std::string::npos);
}

TEST_F(ManifestServerTest, LoadManifestRefusesWhatCannotBeADocument) {
    const tb_id id = tb_service_make_id(tb_class_user, 3);
    std::string text = "x";
    EXPECT_FALSE(load_manifest(id, text));
    EXPECT_TRUE(text.empty());
    fs::create_directory(file_of(id));
    EXPECT_FALSE(load_manifest(id, text)) << "a directory is no file";
    fs::remove(file_of(id));
    write_plain(file_of(id), "");
    EXPECT_TRUE(load_manifest(id, text));
    EXPECT_TRUE(text.empty());
    fs::resize_file(file_of(id), tb_manifest_max_limit);
    EXPECT_FALSE(load_manifest(id, text)) << "larger than any transfer";
}

} // namespace
