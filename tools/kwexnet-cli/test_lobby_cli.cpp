// kwexnet-cli's lobby commands in-process: login-service commands against
// a scripted HTTPS service, chat against a scripted socket server.
#include "cli.h"
#include "cli_run.h"

#include <kwexnet/kwex_messenger.h>

#include "test_http_server.h"
#include "test_tcp_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TcpScript;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;
using testsupport::TestTcpServer;

const std::string kUser = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";
const std::string kOther = "11111111-2222-3333-4444-555555555555";

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string wireMessage(const std::string &payload, const std::string &recipient)
{
    KwexNet::TCPHeader h(static_cast<unsigned int>(payload.size()), KwexNet::kMessageRoutingRoom,
                         KwexNet::kMessageEncryptionNone, 0x99, kOther.c_str(), recipient.c_str(), 28, 1);
    std::string out(KwexNet::TCPHeader::kSize, '\0');
    unsigned long size = 0;
    h.serialize(out.data(), size);
    return out + payload;
}

std::string pageRow(const std::string &name, int wins)
{
    return "<score>" + std::to_string(wins * 100) + "</score><user_name>" + name + "</user_name><user_id>id-" + name +
           "</user_id><wins>" + std::to_string(wins) +
           "</wins><losses>0</losses><avatar_id>1</avatar_id>"
           "<metadata/><gamedata>g</gamedata>";
}

TEST(LobbyCli, ServiceCommandsSendAndPrint)
{
    auto certs = TestCertificates::create();
    ASSERT_TRUE(certs && certs->ok());
    TestHttpServer server(certs->serverTls());
    const auto xml = [](const std::string &inner) {
        return Reply{200, {{"Content-Type", "text/xml"}}, "<appserver>" + inner + "</appserver>"};
    };
    server.reply("/app/registerUser/", xml("<result id=\"0\"/>"));
    server.reply("/app/updatePreferences/", xml("<success/>"));
    server.reply("/app/addRelationByUsername/", xml("<error id=\"7\" message=\"no such player\"/>"));
    server.reply("/app/getRelations/",
                 xml("<relation target_user_id=\"t1\" target_user_name=\"ann\" relation_status=\"F F\" "
                     "game_mode=\"00120051\"/><relation target_user_name=\"bob\" relation_status=\"B I\"/>"));
    server.reply("/app/joinGroupByTopic/",
                 xml("<result/><group_info server_id=\"3\" address=\"10.0.0.2:5000\" group_id=\"9\"/>"));
    server.reply("/app/postScore/", Reply{200, {}, ""});
    server.reply("/app/getLeaderboardNoAuth/",
                 xml("<current_cdn>" + std::string("https://127.0.0.1:PORT/board.xml") +
                     "</current_cdn><current_record_length>50</current_record_length><last_cdn>x</last_cdn>"
                     "<last_record_length>50</last_record_length>"));
    ASSERT_TRUE(server.start());
    server.reply("/app/getLeaderboardNoAuth/",
                 xml("<current_cdn>" + server.url("/board.xml") +
                     "</current_cdn><current_record_length>50</current_record_length><last_cdn>x</last_cdn>"
                     "<last_record_length>50</last_record_length>"));
    server.reply("/board.xml", Reply{206, {}, pageRow("cy", 4) + pageRow("di", 3)});

    const std::string base = server.url("/app/");
    const std::vector<std::string> net = {"--server", base, "--cacert", certs->caCertificateFile()};
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string path;
        std::string body;
        std::vector<std::string> printed;
    };
    const std::vector<Case> cases = {
        {{"register", "--user-name", "neo", "--password", "a&b", "--email", "e", "--last-name", "A"},
         0,
         "/app/registerUser/",
         "game_id=28&user_name=neo&user_password=a%26b&email=e&last_name=A",
         {"result=0"}},
        {{"prefs", "--session", "S1", "3=three", "1=one"},
         0,
         "/app/updatePreferences/",
         "session=S1&game_id=28&profile_id_1=one&profile_id_3=three",
         {"error_id=0"}},
        {{"relate", "--session", "S1", "--target-name", "zed", "--status", "B"},
         1,
         "/app/addRelationByUsername/",
         "session=S1&game_id=28&target_user_name=zed&relation_status=B",
         {"error_id=7"}},
        {{"relations", "--session", "S1", "--filter", "F"},
         0,
         "/app/getRelations/",
         "session=S1&game_id=28&relation_status=F",
         {"relation[0].game_mode=12,5,1", "friends=0", "blocked=1", "relation[1].online_status=0",
          "blocked_names[bob]=1"}},
        {{"join", "--session", "S1", "--topic", "5"},
         0,
         "/app/joinGroupByTopic/",
         "session=S1&game_id=28&topic_id=5",
         {"server_id=3", "address=10.0.0.2:5000", "group_id=9"}},
        {{"post-score", "--session", "S1", "--profile-id", "4", "--value", "900"},
         0,
         "/app/postScore/",
         "session=S1&game_id=28&profile_id=4&value=900&metadata=",
         {"status=200"}},
        {{"leaderboard", "--profile-id", "2", "--first", "20", "--count", "2"},
         0,
         "/board.xml",
         "",
         {"current_record_length=50", "row[21].user_name=cy", "row[22].wins=3", "rows=2"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, net.begin(), net.end());
        const CliRun run = cli(args);
        EXPECT_EQ(run.code, c.code) << run.err;
        const auto seen = server.requests();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().path, c.path);
        EXPECT_EQ(seen.back().body, c.body);
        for (const auto &line : c.printed) {
            EXPECT_TRUE(contains(run.out, line + "\n")) << line << " in\n" << run.out;
        }
    }
    EXPECT_EQ(server.requests().back().header("Range"), "bytes=1000-1099");

    // Credentials never go over plain http; bad numbers are usage errors.
    const std::size_t before = server.requestCount();
    const CliRun plain =
        cli({"register", "--server", "http://127.0.0.1:1/app/", "--user-name", "u", "--password", "p", "--email", "e"});
    EXPECT_EQ(plain.code, kwexnet_cli::kExitFailed);
    EXPECT_EQ(cli({"leaderboard", "--server", base, "--profile-id", "2", "--first", "0", "--count", "0"}).code,
              kwexnet_cli::kExitUsage);
    EXPECT_EQ(cli({"relate", "--server", base, "--session", "S", "--status", "F"}).code, kwexnet_cli::kExitUsage);
    EXPECT_EQ(cli({"prefs", "--server", base, "--session", "S", "x=1"}).code, kwexnet_cli::kExitUsage);
    EXPECT_EQ(server.requestCount(), before);

    const CliRun hex = cli({"hex", "1a2B"});
    EXPECT_EQ(hex.out, "value=6699\n");
}

TEST(LobbyCliThreads, ChatRegistersSaysAndPrintsItsMessages)
{
    const std::string registration = wireMessage("", "").substr(0, 4) + std::string(1, '\xFE') + std::string(1, '\0') +
                                     std::string("\0\0\0\0\0\0\x1A\x2B", 8) + kUser + std::string(36, '\0') +
                                     std::string("\x00\x1C\x01\x00\x00\x00", 6);
    ASSERT_EQ(registration.size(), 92u);
    TestTcpServer server;
    server.script({TcpScript()
                       .waitForBytes(92 + 92 + 5)
                       .send(wireMessage("hi\nyou", kUser) + wireMessage("not yours", kOther), {50, 150}, 0.005)
                       .send(wireMessage("", kUser))
                       .close()});
    ASSERT_TRUE(server.start());
    const CliRun run = cli({"chat", "--socket", "127.0.0.1:" + std::to_string(server.port()), "--session", "1A2B",
                            "--user-id", kUser, "--to", kOther, "--say", "hello", "--listen", "20"});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::string seen = server.received(0);
    ASSERT_EQ(seen.size(), 92u + 92u + 5u);
    EXPECT_EQ(seen.substr(0, 92), registration);
    EXPECT_EQ(seen.substr(92), [] {
        KwexNet::TCPHeader h(5, KwexNet::kMessageRoutingRoom, KwexNet::kMessageEncryptionNone, 0x1A2B, kUser.c_str(),
                             kOther.c_str(), 28, 1);
        std::string out(92, '\0');
        unsigned long size = 0;
        h.serialize(out.data(), size);
        return out + "hello";
    }());
    const std::string expectedOut = "state=1\nstate=3\n"
                                    "routing_type=1\nencryption_type=0\nsession_id=153\nsender_id=" +
                                    kOther + "\nrecipient_id=" + kUser +
                                    "\nsession_code=28\nsession_tag=1\n"
                                    "payload_length=6\npayload=hi\\nyou\n"
                                    "routing_type=1\nencryption_type=0\nsession_id=153\nsender_id=" +
                                    kOther + "\nrecipient_id=" + kUser +
                                    "\nsession_code=28\nsession_tag=1\n"
                                    "payload_length=0\npayload=\n"
                                    "state=0\n";
    EXPECT_EQ(run.out, expectedOut);
    EXPECT_TRUE(contains(run.err, "closed the connection"));

    const CliRun refused = cli({"chat", "--socket", "127.0.0.1:" + std::to_string(testsupport::unusedLoopbackPort()),
                                "--session", "1", "--user-id", kUser});
    EXPECT_EQ(refused.code, kwexnet_cli::kExitFailed);
    EXPECT_EQ(refused.out, "state=1\nstate=0\n");
}

} // namespace
