#include "server/syslog_server.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/tb_syslog.hpp"
#include "net/net_fixture.hpp"

namespace {

using tb_test::packet_bytes;

class SyslogServerTest : public tb_test::NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        std::string pattern = (std::filesystem::temp_directory_path() / "tb-syslog-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        ASSERT_TRUE(syslog_server_start(directory.string()));
    }

    void TearDown() override
    {
        // Closes the file before the directory goes.
        tb_task_init();
        syslog_server_task.init_proc(nullptr, tb_id_unknown());
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
        NetFixture::TearDown();
    }

    std::filesystem::path file() const { return directory / "syslog.log"; }

    std::string contents() const
    {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        const std::string text = contents();
        std::size_t start = 0;
        for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            result.push_back(text.substr(start, end - start));
        EXPECT_EQ(start, text.size()) << "the file must end with a complete line";
        return result;
    }

    // A syslog datagram from a peer; terminated adds the NUL.
    static packet_bytes syslog_packet(std::string_view text, bool terminated = true)
    {
        const std::size_t length = tb_packet_header_size + text.size() + (terminated ? 1 : 0);
        packet_bytes packet = tb_test::make_packet(tb_op_syslog, tb_id_broadcast(), tb_test::peer_device(), length);
        std::copy(text.begin(), text.end(), packet.begin() + tb_off_payload);
        return packet;
    }

    static void deliver(const packet_bytes& packet) { tb_task_exec(tb_packet{packet}); }

    std::filesystem::path directory;
};

// "dd.mm.yy hh:mm:ss " followed by the text, as the text was received.
std::string without_date(const std::string& line)
{
    static const std::regex prefix(R"(^\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d )");
    EXPECT_TRUE(std::regex_search(line, prefix)) << line;
    return line.size() >= 18 ? line.substr(18) : line;
}

TEST_F(SyslogServerTest, WritesOneDatedLinePerPacketWithTheTextAsData)
{
    const std::vector<std::string> texts = {
        "E #0020000000010 #U0020000000011 tb_service_set_name:unknown service",
        "M #0020000000010 #00000000000000 origin:%s%n%x%p %%",
        "",
    };
    for (const auto& text : texts) deliver(syslog_packet(text));
    const auto written = lines();
    ASSERT_EQ(written.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(without_date(written[i]), texts[i]);
}

TEST_F(SyslogServerTest, ReceivedTextIsBoundedByTheDatagram)
{
    struct Case {
        packet_bytes packet;
        std::string expected;
    };
    packet_bytes trailing = syslog_packet("text");
    trailing.insert(trailing.end(), {'m', 'o', 'r', 'e'}); // after the NUL: not part of the text
    const std::vector<Case> cases = {
        {syslog_packet("no terminator", false), "no terminator"},
        {trailing, "text"},
        {syslog_packet(std::string(1280, 'x'), false), std::string(1280, 'x')},
        {syslog_packet("first\r\nE #forged line\nend"), "first  E #forged line end"},
        {tb_test::make_packet(tb_op_syslog, tb_id_broadcast(), tb_test::peer_device(), tb_packet_header_size), ""},
    };
    for (const auto& c : cases) deliver(c.packet);
    const auto written = lines();
    ASSERT_EQ(written.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(without_date(written[i]), cases[i].expected) << i;
}

TEST_F(SyslogServerTest, IgnoresOtherOpcodes)
{
    for (const std::uint16_t opcode : {tb_op_action, tb_op_status_answer, tb_op_boot_request, tb_op_device_answer}) {
        packet_bytes packet = syslog_packet("not a log line");
        put_u16be(packet, tb_off_opcode, opcode);
        deliver(packet);
    }
    run_ms(30);
    EXPECT_FALSE(syslog_server_file_open());
    EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(SyslogServerTest, BurstKeepsTheFileOpenUntilOneSecondAfterTheLastLine)
{
    for (int i = 0; i < 5; ++i) {
        deliver(syslog_packet("M #x #y burst:" + std::to_string(i)));
        EXPECT_TRUE(syslog_server_file_open());
        run_ms(600);
        EXPECT_TRUE(syslog_server_file_open()) << "closed during the burst after line " << i;
    }
    run_ms(390); // 990 ms after the last line
    EXPECT_TRUE(syslog_server_file_open());
    run_ms(15);
    EXPECT_FALSE(syslog_server_file_open());
    EXPECT_EQ(lines().size(), 5u);
}

TEST_F(SyslogServerTest, DeletedFileIsRecreatedByTheNextMessage)
{
    deliver(syslog_packet("before"));
    run_ms(1100);
    ASSERT_FALSE(syslog_server_file_open());
    ASSERT_TRUE(std::filesystem::remove(file()));

    deliver(syslog_packet("after"));
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(without_date(written[0]), "after");
}

TEST_F(SyslogServerTest, AppendsToAnExistingFile)
{
    std::ofstream(file(), std::ios::binary) << "old line\r\n";
    deliver(syslog_packet("new line"));
    const auto written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], "old line");
    EXPECT_EQ(without_date(written[1]), "new line");
}

TEST_F(SyslogServerTest, UnopenableFileLosesTheMessageAndTheNextOneTriesAgain)
{
    std::filesystem::remove_all(directory);
    deliver(syslog_packet("lost"));
    EXPECT_FALSE(syslog_server_file_open());
    run_ms(1100);

    std::filesystem::create_directory(directory);
    deliver(syslog_packet("kept"));
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(without_date(written[0]), "kept");
}

TEST_F(SyslogServerTest, OwnLogCallsComeBackIntoTheFile)
{
    tb_syslog_error("origin_function", tb_id_unknown(), "value %d", 42);
    for (const auto& packet : take(tb_op_syslog)) receive(packet);
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    const std::string own = tb_id_text(tb_device_own_id());
    EXPECT_EQ(without_date(written[0]), "E #" + own + " #00000000000000 origin_function:value 42");
}

TEST(SyslogServerStart, RefusesADirectoryNameThatDoesNotFit)
{
    tb_task_init();
    EXPECT_FALSE(syslog_server_start(std::string(syslog_server_path_max + 1, 'd')));
    EXPECT_EQ(tb_task_count(), 0);
}

} // namespace
