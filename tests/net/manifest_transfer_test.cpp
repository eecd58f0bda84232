#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/manifest_fixture.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_service.hpp"

namespace {

using tb_test::manifest_answer_fields;
using tb_test::packet_bytes;
using tb_test::sent_packets;

// A document of size bytes with its NUL, as it travels.
std::string document_of_size(std::size_t size) {
    std::string text(size - 1, 'x');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
}

class ManifestTransferTest : public tb_test::ManifestFixture {
  protected:
    tb_id peer = tb_test::peer_device();
    tb_id remote = tb_test::peer_service_id(tb_class_room, 0);
    tb_test::handler_log updates;
    tb_test::handler_log commits;

    void SetUp() override {
        ManifestFixture::SetUp();
        tb_test::list_peer_services(peer, {remote});
        (void)take();
    }

    // The server starts fetching the peer's published document.
    void announce_update(std::uint32_t stamp, tb_id from = tb_test::peer_device()) {
        receive(tb_test::manifest_announce(tb_op_manifest_update, tb_id_broadcast(), from, remote,
                                           stamp));
    }

    // Answers every manifest request of the server from the document, until
    // nothing more is asked; returns what the server sent.
    sent_packets serve(const std::string &text, std::uint32_t stamp, tb_id service,
                       std::uint32_t key) {
        const std::string doc = text + std::string(1, '\0');
        sent_packets all;
        for (int round = 0; round < 100; ++round) {
            sent_packets sent = take_sent();
            if (sent.all.empty())
                sent = pump(3);
            all.append(sent);
            const auto requests = sent.with(tb_op_manifest_request);
            if (requests.empty())
                break;
            for (const auto &request : requests) {
                const std::uint32_t token = get_u32be(request, 52);
                manifest_answer_fields f{
                    service, key, stamp, token, 0, static_cast<std::uint32_t>(doc.size()), {}};
                f.chunk =
                    static_cast<std::uint32_t>(std::min<std::size_t>(doc.size() - token, 1024));
                f.data = doc.substr(token, f.chunk);
                receive(tb_test::manifest_answer(tb_device_own_id(), peer, f));
            }
        }
        return all;
    }

    void receive_good_document(const std::string &text, std::uint32_t stamp) {
        announce_update(stamp);
        serve(text, stamp, remote, tb_manifest_key_update);
    }

    static std::string update_text(tb_id id) {
        std::string_view out;
        return tb_manifest_read_update(id, out) ? std::string(out) : std::string("<none>");
    }
};

TEST_F(ManifestTransferTest, DocumentOf2500BytesTravelsInThreeChunksAndRunsTheHandlerOnce) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    const std::string text = document_of_size(2500);
    announce_update(0x1234);
    const sent_packets sent = serve(text, 0x1234, remote, tb_manifest_key_update);

    const auto requests = sent.with(tb_op_manifest_request);
    ASSERT_EQ(requests.size(), 3u);
    const std::uint32_t tokens[] = {0, 1024, 2048};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(get_id(requests[i], tb_off_destination), peer)
            << "asked from the announcing device";
        EXPECT_EQ(get_id(requests[i], 36), remote);
        EXPECT_EQ(get_u32be(requests[i], 44), tb_manifest_key_update);
        EXPECT_EQ(get_u32be(requests[i], 48), 0x1234u);
        EXPECT_EQ(get_u32be(requests[i], 52), tokens[i]);
        EXPECT_EQ(get_u16be(requests[i], tb_off_length), tb_manifest_request_size);
    }
    ASSERT_EQ(updates.calls.size(), 1u);
    EXPECT_EQ(updates.calls[0], remote);
    EXPECT_EQ(update_text(remote), text);
    EXPECT_TRUE(sent.logs().empty());
}

TEST_F(ManifestTransferTest, OwnerAnswersRequestsChunkByChunk) {
    const tb_id local = tb_service_register_class(tb_class_user, "user");
    const std::string text = document_of_size(2500);
    ASSERT_TRUE(tb_manifest_write_update(local, text));
    const sent_packets announced = pump(150);
    const auto updates_sent = announced.with(tb_op_manifest_update);
    ASSERT_EQ(updates_sent.size(), 1u);
    EXPECT_EQ(get_id(updates_sent[0], tb_off_destination), tb_id_broadcast());
    const std::uint32_t stamp = get_u32be(updates_sent[0], 44);
    EXPECT_NE(stamp, 0u);

    std::string assembled;
    const std::uint32_t chunks[] = {1024, 1024, 452};
    for (std::uint32_t i = 0, token = 0; i < 3; token += chunks[i], ++i) {
        receive(tb_test::manifest_request(tb_device_own_id(), peer, local, tb_manifest_key_update,
                                          stamp, token));
        const auto answers = take_sent().with(tb_op_manifest_answer);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(get_id(answers[0], tb_off_destination), peer);
        EXPECT_EQ(get_u16be(answers[0], tb_off_length), tb_manifest_answer_size);
        const auto f = tb_test::read_answer(answers[0]);
        EXPECT_EQ(f.service, local);
        EXPECT_EQ(f.stamp, stamp);
        EXPECT_EQ(f.token, token);
        EXPECT_EQ(f.chunk, chunks[i]);
        EXPECT_EQ(f.total, 2500u);
        assembled += f.data;
    }
    EXPECT_EQ(assembled, text + std::string(1, '\0'));
}

TEST_F(ManifestTransferTest, SameUpdateTwicePublishesOnceAfterTheDelay) {
    const tb_id local = tb_service_register_class(tb_class_user, "user");
    EXPECT_TRUE(tb_manifest_write_update(local, "{\"a\":1}"));
    EXPECT_FALSE(tb_manifest_write_update(local, "{\"a\":1}"));
    run_ms(90);
    EXPECT_TRUE(take_sent().with(tb_op_manifest_update).empty())
        << "announced 100 ms after the change";
    run_ms(30);
    EXPECT_EQ(take_sent().with(tb_op_manifest_update).size(), 1u);
    run_ms(300);
    EXPECT_TRUE(take_sent().with(tb_op_manifest_update).empty());

    // Cleared, the same document is published again with a new stamp.
    const std::uint32_t old_stamp =
        tb_service_get_data(local)->manifest.transfer[1].published_stamp;
    tb_manifest_clear_update(local);
    EXPECT_TRUE(tb_manifest_write_update(local, "{\"a\":1}"));
    run_ms(120);
    const auto sent = take_sent().with(tb_op_manifest_update);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(get_u32be(sent[0], 44), old_stamp);
}

TEST_F(ManifestTransferTest, CommitEqualToTheOwnersVersionSendsNothing) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    receive_good_document("{\"v\":1}", 77);
    (void)take();
    EXPECT_FALSE(tb_manifest_write_commit(remote, "{\"v\":1}"));
    run_ms(200);
    EXPECT_TRUE(take_sent().with(tb_op_manifest_commit).empty());

    EXPECT_TRUE(tb_manifest_write_commit(remote, "{\"v\":2}"));
    run_ms(200);
    const auto commits_sent = take_sent().with(tb_op_manifest_commit);
    ASSERT_EQ(commits_sent.size(), 1u);
    EXPECT_EQ(get_id(commits_sent[0], tb_off_destination), remote) << "sent to the service's owner";
    const std::uint32_t stamp = get_u32be(commits_sent[0], 44);

    // The owner fetches it with key 0.
    receive(tb_test::manifest_request(tb_device_own_id(), peer, remote, tb_manifest_key_commit,
                                      stamp, 0));
    const auto answers = take_sent().with(tb_op_manifest_answer);
    ASSERT_EQ(answers.size(), 1u);
    const auto f = tb_test::read_answer(answers[0]);
    EXPECT_EQ(f.key, tb_manifest_key_commit);
    EXPECT_EQ(f.data, std::string("{\"v\":2}") + std::string(1, '\0'));
}

TEST_F(ManifestTransferTest, PeerCommitToALocalServiceIsFetchedAndHandled) {
    const tb_id local = tb_service_register_class(tb_class_user, "user");
    tb_manifest_add_handler(tb_test::handler_log::record, &commits, local, tb_manifest_key_commit);
    receive(tb_test::manifest_announce(tb_op_manifest_commit, local, peer, local, 0xBEEF));
    const auto requests = take_sent().with(tb_op_manifest_request);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(get_id(requests[0], tb_off_destination), peer);
    EXPECT_EQ(get_u32be(requests[0], 44), tb_manifest_key_commit);
    EXPECT_EQ(get_u32be(requests[0], 48), 0xBEEFu);
    const std::string doc = std::string("{\"service\":{}}") + std::string(1, '\0');
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {local, 0, 0xBEEF, 0, static_cast<std::uint32_t>(doc.size()),
                                      static_cast<std::uint32_t>(doc.size()), doc}));
    ASSERT_EQ(commits.calls.size(), 1u);
    std::string_view text;
    ASSERT_TRUE(tb_manifest_read_commit(local, text));
    EXPECT_EQ(text, "{\"service\":{}}");
}

TEST_F(ManifestTransferTest, CommitsAndUpdatesWithoutHandlerAreIgnored) {
    const tb_id local = tb_service_register_class(tb_class_user, "user");
    receive(tb_test::manifest_announce(tb_op_manifest_commit, local, peer, local, 1));
    announce_update(2);
    EXPECT_TRUE(take_sent().with(tb_op_manifest_request).empty());
}

TEST_F(ManifestTransferTest, LocalCommitRunsTheHandlerAtOnce) {
    const tb_id local = tb_service_register_class(tb_class_user, "user");
    tb_manifest_add_handler(tb_test::handler_log::record, &commits, local, tb_manifest_key_commit);
    std::string_view text;
    tb_manifest_local_commit(local, "{\"x\":\"y\"}");
    ASSERT_EQ(commits.calls.size(), 1u);
    ASSERT_TRUE(tb_manifest_read_commit(local, text));
    EXPECT_EQ(text, "{\"x\":\"y\"}");
    tb_manifest_local_commit(local, {});
    EXPECT_EQ(commits.calls.size(), 2u);
    EXPECT_FALSE(tb_manifest_read_commit(local, text));
    EXPECT_TRUE(text.empty());
}

TEST_F(ManifestTransferTest, HandlerRegistrationRefusesOverlaps) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    tb_manifest_add_handler(tb_test::handler_log::record, &commits, remote, tb_manifest_key_update);
    EXPECT_TRUE(take_sent().logged("handler for this id already registered"));
    tb_manifest_add_handler(tb_test::handler_log::record, &commits, remote, tb_manifest_key_commit);
    EXPECT_FALSE(take_sent().logged("handler for this id already registered"))
        << "another key is free";
}

TEST_F(ManifestTransferTest, HandlerTableFullIsReported) {
    for (int i = 0; i < tb_manifest_handler_capacity; ++i) {
        tb_id id = remote;
        id.bytes[7] = static_cast<std::uint8_t>(i % 256);
        id.bytes[6] = static_cast<std::uint8_t>(i / 256);
        tb_manifest_add_handler(tb_test::handler_log::record, &commits, id, tb_manifest_key_commit);
    }
    EXPECT_FALSE(take_sent().logged("unable to add new handler"));
    tb_manifest_add_handler(tb_test::handler_log::record, &commits, tb_device_own_id(),
                            tb_manifest_key_commit);
    EXPECT_TRUE(take_sent().logged("unable to add new handler"));
}

TEST_F(ManifestTransferTest, SilentOwnerIsAskedFiveTimesThenTheTransferFails) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    announce_update(5);
    sent_packets sent = take_sent();
    for (int i = 0; i < 6; ++i) {
        run_ms(10000);
        sent.append(take_sent());
    }
    const auto requests = sent.with(tb_op_manifest_request);
    ASSERT_EQ(requests.size(), 5u);
    for (const auto &r : requests)
        EXPECT_EQ(get_u32be(r, 52), 0u) << "the same token each time";
    EXPECT_EQ(sent.count_log("transfer timeout, retry..."), 4);
    EXPECT_EQ(sent.count_log("E #"), 1);
    EXPECT_EQ(sent.count_log("check_transfer_timeout:transfer failed"), 1);
    EXPECT_TRUE(updates.calls.empty());
}

TEST_F(ManifestTransferTest, OwnerRestartFetchesThePublishedVersionOnce) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    tb_service_record *record = tb_service_get_data(remote);
    ASSERT_NE(record, nullptr);
    record->announced_nonce = 0xA1;
    record->announced_stamp = 0xCAFE;
    run_ms(30);
    auto requests = take_sent().with(tb_op_manifest_request);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(get_id(requests[0], tb_off_destination), remote) << "routed to the owner's device";
    EXPECT_EQ(get_u32be(requests[0], 48), 0xCAFEu);
    run_ms(30);
    EXPECT_TRUE(take_sent().with(tb_op_manifest_request).empty()) << "once per nonce";

    // An owner that publishes nothing (stamp 0) is not asked.
    record->announced_nonce = 0xA2;
    record->announced_stamp = 0;
    run_ms(30);
    EXPECT_TRUE(take_sent().with(tb_op_manifest_request).empty());
}

TEST_F(ManifestTransferTest, RequestsForAnotherStampOrBeyondTheDocumentAreRefused) {
    const tb_id local = tb_service_register_class(tb_class_user, "user");
    tb_manifest_write_update(local, "{}");
    const std::uint32_t stamp = tb_service_get_data(local)->manifest.transfer[1].published_stamp;
    struct request_case {
        const char *what;
        std::uint32_t stamp;
        std::uint32_t token;
        const char *warning;
    };
    const request_case cases[] = {
        {"old stamp", stamp + 1, 0, "handle_manifest_request:stamp mismatch"},
        {"token at the size", stamp, 3, "send_manifest_answer:wrong token size"},
        {"token far beyond", stamp, 0xFFFFFFFF, "send_manifest_answer:wrong token size"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        receive(tb_test::manifest_request(tb_device_own_id(), peer, local, 1, c.stamp, c.token));
        const sent_packets sent = take_sent();
        EXPECT_TRUE(sent.with(tb_op_manifest_answer).empty());
        EXPECT_TRUE(sent.logged(c.warning));
    }
    // Key beyond 1, and a request cut short, are dropped silently.
    receive(tb_test::manifest_request(tb_device_own_id(), peer, local, 2, stamp, 0));
    auto short_request = tb_test::manifest_request(tb_device_own_id(), peer, local, 1, stamp, 0);
    short_request.resize(52);
    put_u16be(short_request, tb_off_length, 52);
    receive(short_request);
    EXPECT_TRUE(take_sent().all.empty());
}

// Each answer is sent while a fetch of a 2500-byte document (stamp 9) has
// received its first chunk and waits for token 1024.
struct answer_case {
    const char *what;
    manifest_answer_fields fields;
    std::size_t size;
    bool from_other_device;
    const char *warning; // nullptr: dropped without a word
};

class ManifestAnswerChecks : public ManifestTransferTest,
                             public ::testing::WithParamInterface<answer_case> {};

TEST_P(ManifestAnswerChecks, BrokenAnswersAreRefusedAndTheLastGoodDocumentStays) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    receive_good_document("{\"good\":true}", 3);
    ASSERT_EQ(updates.calls.size(), 1u);

    const std::string doc = document_of_size(2500);
    announce_update(9);
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {remote, 1, 9, 0, 1024, 2500, doc.substr(0, 1024)}));
    (void)take();

    const answer_case &c = GetParam();
    manifest_answer_fields f = c.fields;
    f.service = remote;
    receive(tb_test::manifest_answer(
        tb_device_own_id(), c.from_other_device ? tb_test::peer_device(0x77) : peer, f, c.size));
    const sent_packets sent = take_sent();
    if (c.warning)
        EXPECT_TRUE(sent.logged(std::string("handle_manifest_answer:") + c.warning)) << c.what;
    else
        EXPECT_TRUE(sent.logs().empty()) << c.what;
    EXPECT_TRUE(sent.with(tb_op_manifest_request).empty()) << "no progress from a refused chunk";
    EXPECT_EQ(updates.calls.size(), 1u);
    EXPECT_EQ(update_text(remote), "{\"good\":true}");

    // The fetch goes on from where it was: the right chunks still complete it.
    const std::string rest = doc + std::string(1, '\0');
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {remote, 1, 9, 1024, 1024, 2500, rest.substr(1024, 1024)}));
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {remote, 1, 9, 2048, 452, 2500, rest.substr(2048, 452)}));
    EXPECT_EQ(updates.calls.size(), 2u);
    EXPECT_EQ(update_text(remote), doc);
}

const std::string chunk_bytes(1024, 'q');

INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestAnswerChecks,
    ::testing::Values(
        answer_case{"other device",
                    {{}, 1, 9, 1024, 1024, 2500, chunk_bytes},
                    1088,
                    true,
                    "source id mismatch"},
        answer_case{
            "old stamp", {{}, 1, 8, 1024, 1024, 2500, chunk_bytes}, 1088, false, "stamp mismatch"},
        answer_case{"repeated chunk",
                    {{}, 1, 9, 0, 1024, 2500, chunk_bytes},
                    1088,
                    false,
                    "token mismatch"},
        answer_case{
            "chunk ahead", {{}, 1, 9, 2048, 452, 2500, chunk_bytes}, 1088, false, "token mismatch"},
        answer_case{"chunk length 0",
                    {{}, 1, 9, 1024, 0, 2500, chunk_bytes},
                    1088,
                    false,
                    "wrong chunk size"},
        answer_case{"chunk length 1025",
                    {{}, 1, 9, 1024, 1025, 2500, chunk_bytes},
                    1088,
                    false,
                    "wrong chunk size"},
        answer_case{"chunk beyond the datagram",
                    {{}, 1, 9, 1024, 1024, 2500, chunk_bytes},
                    600,
                    false,
                    "wrong chunk size"},
        answer_case{
            "total 0", {{}, 1, 9, 1024, 1024, 0, chunk_bytes}, 1088, false, "wrong total size"},
        answer_case{"total changed",
                    {{}, 1, 9, 1024, 1024, 3000, chunk_bytes},
                    1088,
                    false,
                    "wrong total size"},
        answer_case{"total above the limit",
                    {{}, 1, 9, 1024, 1024, 65537, chunk_bytes},
                    1088,
                    false,
                    "wrong total size"},
        answer_case{"key 2", {{}, 2, 9, 1024, 1024, 2500, chunk_bytes}, 1088, false, nullptr},
        answer_case{"header only", {{}, 1, 9, 1024, 1024, 2500, chunk_bytes}, 63, false, nullptr}));

TEST_F(ManifestTransferTest, EndBeyondTheTotalIsAWrongTokenSize) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    announce_update(4);
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {remote, 1, 4, 0, 1024, 1500, chunk_bytes}));
    (void)take();
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {remote, 1, 4, 1024, 1000, 1500, chunk_bytes}));
    EXPECT_TRUE(take_sent().logged("handle_manifest_answer:wrong token size"));
    EXPECT_TRUE(updates.calls.empty());
}

TEST_F(ManifestTransferTest, UnterminatedDocumentIsRefused) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    receive_good_document("{}", 1);
    announce_update(2);
    receive(tb_test::manifest_answer(tb_device_own_id(), peer, {remote, 1, 2, 0, 4, 4, "{}}}"}));
    EXPECT_TRUE(take_sent().logged("document not terminated"));
    EXPECT_EQ(updates.calls.size(), 1u);
    EXPECT_EQ(update_text(remote), "{}");
}

TEST_F(ManifestTransferTest, StrayChunksWithoutAFetchAreIgnored) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    receive_good_document("{\"kept\":1}", 6);
    const std::string doc = std::string("{}") + std::string(1, '\0');
    receive(tb_test::manifest_answer(tb_device_own_id(), peer, {remote, 1, 6, 0, 3, 3, doc}));
    EXPECT_TRUE(take_sent().all.empty());
    EXPECT_EQ(updates.calls.size(), 1u);
    EXPECT_EQ(update_text(remote), "{\"kept\":1}");
}

TEST_F(ManifestTransferTest, LimitOfTheServiceBoundsTheTotal) {
    tb_manifest_add_handler(tb_test::handler_log::record, &updates, tb_id_broadcast(),
                            tb_manifest_key_update);
    EXPECT_EQ(tb_manifest_get_limit(remote), tb_manifest_default_limit);
    tb_manifest_set_limit(remote, 200000);
    announce_update(3);
    (void)take();
    receive(tb_test::manifest_answer(tb_device_own_id(), peer,
                                     {remote, 1, 3, 0, 1024, 150000, chunk_bytes}));
    const sent_packets sent = take_sent();
    EXPECT_FALSE(sent.logged("wrong total size"));
    EXPECT_EQ(sent.with(tb_op_manifest_request).size(), 1u);
    tb_manifest_set_limit(remote, 0xFFFFFFFF);
    EXPECT_EQ(tb_manifest_get_limit(remote), tb_manifest_max_limit);
    tb_manifest_set_limit(remote, 0);
    EXPECT_EQ(tb_manifest_get_limit(remote), tb_manifest_default_limit);
}

} // namespace
