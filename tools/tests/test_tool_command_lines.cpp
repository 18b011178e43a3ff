// tally-driver, ogc-sim, kwexnet-cli and the stream_fade example run from
// their command lines: what each answers, and its exit status.
#include "alsa_config.h"
#include "files.h"
#include "midi_writer.h"
#include "test_http_server.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using auratest::quote;

TEST(ToolCommandLines, EachToolAnswersItsCommandLine)
{
    auratest::TempDir data{"tools-cli"};
    ASSERT_TRUE(data.ok());
    // Nothing listens on port 9: reports stay on the disk, as when offline.
    const std::string tally = std::string(TALLY_DRIVER_PATH) + " --server http://127.0.0.1:9/aap.do --data " +
                              quote(data.path());
    // A refused command line runs nothing: this folder is never made.
    const std::string untouched = quote(data / "untouched");
    const std::string refused = std::string(TALLY_DRIVER_PATH) + " --server http://127.0.0.1:9/aap.do --data " +
                                untouched;
    const std::string tryHelp = "\nTry 'tally-driver --help'.\n";
    // The C++ example on a machine without a sound device says where its
    // sound went.
    const auratest::AlsaConfig noDevice("pcm.nothing { type null }");
    ASSERT_TRUE(auratest::run("sox -D -n -r 8000 -c 1 -b 16 " + quote(data / "tone.wav") + " synth 0.2 sine 300"));
    const std::string streamFade = std::string(STREAM_FADE_PATH) + " " + quote(data / "tone.wav");
    struct Case {
        std::string command;
        int exitCode;
        std::string out;       // standard output holds this
        std::string err = "";  // and standard error this (the tools may log there too)
    };
    const std::vector<Case> cases = {
        // Each action takes its own arguments, so an argument that is also
        // an action's name stays an argument.
        {tally + " ads on launch hook banner ad banner '<UIView: 0x1>'", 0, "hook banner nil\nad nil\n"},
        {tally + " launch wait 0 offer HOOK k=v", 0, "offer nil\n"},
        {tally + " launch event level a=1 b=2 event hook", 0, "saved level\nsaved hook\n"},
        // A usage error is said on one line with a pointer at --help, and
        // nothing runs: every action is checked before the first.
        {refused + " banner HOOK 1", 2, "", "tally-driver: 'banner' takes 3 arguments" + tryHelp},
        {refused + " launch event e jump", 2, "", "tally-driver: unknown action 'jump'" + tryHelp},
        {refused + " launch event e wait abc", 2, "", "tally-driver: bad wait 'abc'" + tryHelp},
        {refused + " launch event e level-start -1", 2, "", "tally-driver: bad level '-1'" + tryHelp},
        {refused + " launch banner h 10 x", 2, "", "tally-driver: bad arguments for 'banner'" + tryHelp},
        {refused + " launch ads maybe", 2, "", "tally-driver: bad arguments for 'ads'" + tryHelp},
        {refused + " --bogus launch", 2, "", "tally-driver: unknown option '--bogus'" + tryHelp},
        {std::string(TALLY_DRIVER_PATH) + " --server notaurl --data " + untouched + " launch event e", 2, "",
         "tally-driver: --server: 'notaurl' is not an http:// or https:// URL" + tryHelp},
        {std::string(TALLY_DRIVER_PATH) + " --data " + untouched + " launch", 2, "",
         "tally-driver: --server URL is needed" + tryHelp},
        {refused + " --ad-host", 2, "", "tally-driver: --ad-host needs a value" + tryHelp},
        {refused + " --pause-seconds 1e9 launch", 2, "", "is not a number of seconds from 0 to 86400" + tryHelp},
        {std::string(TALLY_DRIVER_PATH) + " --help", 0, "usage: tally-driver"},
        {streamFade, 0, "", "stream_fade: no sound device (snd_pcm_open(default): No such file or directory); "
                            "playing on the no-sound output, which is silent\n"},
        {std::string(OGC_SIM_PATH) + " --help", 0, "usage: ogc-sim"},
        {std::string(OGC_SIM_PATH) + " -h", 0, "usage: ogc-sim"},
        {std::string(OGC_SIM_PATH) + " --version", 0, "ogc-sim "},
        {std::string(OGC_SIM_PATH) + " --server", 2, "", "ogc-sim: --server needs a value\n"},
        // Typing with no field editing (a tap that missed) fails the run.
        {std::string(OGC_SIM_PATH) + " --server http://127.0.0.1:9/ tap 1 1 type hello", 1,
         "type: no field is editing\n"},
        {std::string(OGC_SIM_PATH) + " --server http://127.0.0.1:9/ return", 1, "return: no field is editing\n"},
        {std::string(KWEXNET_CLI_PATH) + " hex 5f2a9c", 0, "value=6236828\n"},
        {std::string(KWEXNET_CLI_PATH) + " hex zz", 2, "", "kwexnet-cli: hex: \"zz\" is not 1 to 16 hexadecimal digits\n"},
        {std::string(KWEXNET_CLI_PATH) + " hex 12345678901234567", 2, "", "is not 1 to 16 hexadecimal digits\n"},
        {std::string(KWEXNET_CLI_PATH) + " http GET http://127.0.0.1:9/ --timeout 0", 2, "",
         "kwexnet-cli: --timeout: \"0\" is not a number of seconds above 0 and at most 86400\n"
         "Try 'kwexnet-cli --help'.\n"},
        {std::string(KWEXNET_CLI_PATH) + " prefs --server http://127.0.0.1:9/ --session 1 99999999999=x", 2, "",
         "kwexnet-cli: prefs: \"99999999999=x\" is not KEY=VALUE with a numeric KEY\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string errFile = (data / "stderr.txt").string();
        int status = 0;
        const std::string out = auratest::capture(c.command + " 2>" + quote(errFile), &status);
        const auto bytes = auratest::readAll(errFile);
        const std::string err(bytes.begin(), bytes.end());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status << "\n" << err;
        EXPECT_NE(out.find(c.out), std::string::npos) << out;
        // The message, and no empty or half line before it.
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
        EXPECT_EQ(err.find(": \n"), std::string::npos) << err;
        if (c.exitCode == 2 && c.command.rfind(OGC_SIM_PATH, 0) != 0) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(data / "untouched"));
}

} // namespace

namespace {

const std::map<std::string, std::string> &toolPaths()
{
    static const std::map<std::string, std::string> paths = {
        {"aura-play", AURA_PLAY_PATH},
        {"ogc-sim", OGC_SIM_PATH},
        {"tally-driver", TALLY_DRIVER_PATH},
        {"kwexnet-cli", KWEXNET_CLI_PATH},
    };
    return paths;
}

// The tool a command line starts with ("build/release/tools/x/x" or "x"),
// or "" when it starts with none of the four.
std::string toolOf(const std::string &line)
{
    const std::string first = line.substr(0, line.find(' '));
    const std::string name = first.substr(first.rfind('/') + 1);
    return first.size() < line.size() && toolPaths().count(name) ? name : "";
}

bool wordChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Replaces every `from` in `text` that stands as a whole word (`from`'s own
// edges that are not word characters need no boundary).
std::string replaceWord(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        const size_t end = at + from.size();
        const bool before = at == 0 || !wordChar(from.front()) || !wordChar(text[at - 1]);
        const bool after = end == text.size() || !wordChar(from.back()) || !wordChar(text[end]);
        if (before && after) {
            text.replace(at, from.size(), to);
            at += to.size();
        } else {
            at = end;
        }
    }
    return text;
}

// 127.0.0.1:PORT and 10.0.0.2:PORT with any port: those named in `live`
// to their peer there, the others to `to`.
std::string replaceHostPorts(std::string text, const std::string &to, const std::map<std::string, std::string> &live)
{
    for (const std::string host : {"127.0.0.1:", "10.0.0.2:"}) {
        for (size_t at = text.find(host); at != std::string::npos;) {
            size_t end = at + host.size();
            while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
                ++end;
            }
            const auto peer = live.find(text.substr(at, end - at));
            const std::string &with = peer != live.end() ? peer->second : to;
            text.replace(at, end - at, with);
            at = text.find(host, at + with.size());
        }
    }
    return text;
}

std::string xmlReply(const std::string &inner)
{
    return "<appserver>" + inner + "</appserver>";
}

// The README's examples of the four tools as written there: one logical line
// each (continuations joined, comments cut), from ```sh blocks and from
// blocks indented by four spaces.
std::vector<std::string> readmeExamples()
{
    std::ifstream in(README_PATH);
    std::vector<std::string> examples;
    std::string line, logical;
    bool fenced = false;
    while (std::getline(in, line)) {
        const size_t margin = line.find_first_not_of(' ');
        if (margin != std::string::npos && line.compare(margin, 3, "```") == 0) {
            fenced = !fenced && line.compare(margin, std::string::npos, "```sh") == 0;
            continue;
        }
        const bool indented = line.rfind("    ", 0) == 0;
        if (!fenced && !indented && logical.empty()) {
            continue;
        }
        std::string text = indented && !fenced ? line.substr(4) : line;
        if (const size_t comment = text.find("  #"); comment != std::string::npos) {
            text.erase(comment);
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        const bool continued = !text.empty() && text.back() == '\\';
        if (continued) {
            text.pop_back();
        }
        logical += text;
        if (!continued) {
            const size_t first = logical.find_first_not_of(' ');
            if (first != std::string::npos && !toolOf(logical.substr(first)).empty()) {
                examples.push_back(logical.substr(first));
            }
            logical.clear();
        }
    }
    return examples;
}

TEST(ReadmeExamples, RunAsWritten)
{
    auratest::TempDir dir{"readme"};
    ASSERT_TRUE(dir.ok());
    // The files the examples name, made here.
    ASSERT_TRUE(auratest::run("cd " + quote(dir.path()) +
                              " && sox -D -n -r 44100 -c 2 -b 16 a.wav synth 41 sine 440 vol 0.5"
                              " && oggenc -Q -o song.ogg a.wav && oggenc -Q -o b.ogg a.wav"
                              " && sox -D a.wav -t raw dump.raw && mkdir -p radio sim res tally music"
                              " && cp a.wav b.ogg song.ogg music/"
                              " && printf 'b.ogg\\n' > radio/list.m3u && cp b.ogg radio/"));
    // The login service of the ogc-sim examples (127.0.0.1:8443 there), with
    // ca.pem the certificate of its own CA.
    const auto certs = testsupport::TestCertificates::create();
    ASSERT_TRUE(certs && certs->ok()) << (certs ? certs->error() : "");
    ASSERT_TRUE(auratest::run("cp " + quote(certs->caCertificateFile()) + " " + quote(dir / "ca.pem")));
    testsupport::TestHttpServer login(certs->serverTls());
    ASSERT_TRUE(login.start());
    const std::string loginHost = login.url("").substr(std::string("https://").size());
    const testsupport::HeaderList xmlType = {{"Content-Type", "text/xml"}};
    login.reply("/web_http_app/server/findAvailableServer/",
                {200, xmlType, xmlReply("<server type=\"https\" host=\"" + loginHost + "/app/\"/>")});
    login.reply("/app/login/", {200, xmlType,
                                xmlReply("<result id=\"0\"/><session_id>00c0ffee12ab</session_id><user_id>0a1b2c3d-"
                                         "4e5f-6a7b-8c9d-0e1f2a3b4c5d</user_id><user_name>ann</user_name>")});
    for (const char *path : {"/app/updatePreferences/", "/app/logout/", "/app/postScore/"}) {
        login.reply(path, {200, xmlType, xmlReply("<success/>")});
    }
    login.reply("/app/joinGroupByTopic/",
                {200, xmlType, xmlReply("<result/><group_info server_id=\"3\" address=\"127.0.0.1:1\" group_id=\"9\"/>")});
    login.reply("/app/getLeaderboardNoAuth/",
                {200, xmlType,
                 xmlReply("<current_cdn>" + login.url("/board.xml") + "</current_cdn><current_record_length>40"
                          "</current_record_length><last_cdn>x</last_cdn><last_record_length>40</last_record_length>")});
    login.reply("/board.xml", {206, {}, "<score>5</score><user_name>cy</user_name><user_id>u</user_id><wins>1</wins>"
                                        "<losses>0</losses><avatar_id>2</avatar_id><metadata/><gamedata>g</gamedata>"});
    const auto logins = [&login] {
        std::size_t n = 0;
        for (const auto &request : login.requests()) {
            n += request.path == "/app/login/" &&
                 request.body.find("email=ann%40example.com&user_password=secret&") != std::string::npos;
        }
        return n;
    };
    // What the examples that meet it show, in this order: each logs in once.
    const std::vector<std::pair<std::string, std::vector<std::string>>> effects = {
        {" login ann@example.com secret ",
         {"login ok", "post slot=0 value=1200 ok", "state login=logged-in", "state row rank=1 name=cy score=5",
          "state login=logged-out"}},
        {" show-button tap 296 456 ",
         {"current=loginWaitMenu", "screen state=1 sub=3 current=mainMenu", "screen state=0 sub=0 current=none"}},
    };
    auratest::MidiTrack track;
    track.note(0, 96, 0, 69);
    auratest::DlsInstrument piano;
    piano.regions.push_back(auratest::DlsRegion{});
    ASSERT_TRUE(auratest::writeAll(dir / "song.mid", auratest::midiFile({track})));
    ASSERT_TRUE(auratest::writeAll(dir / "gm.dls", auratest::sineBank({auratest::DlsSine{}}, {piano})));
    // No sound device: what would play on one is rendered to aura-play.wav.
    const auratest::AlsaConfig noDevice("pcm.nothing { type null }");
    // Nothing listens at port 9: the servers of the examples are not there.
    const std::string nowhere = "127.0.0.1:9";
    // The README's placeholders, and where they point here.
    const std::vector<std::pair<std::string, std::string>> places = {
        {"/tmp/tally-data", dir.path() + "/tally-data"},
        {"/tmp/sim", dir.path() + "/sim"},
        {"/tmp/res", dir.path() + "/res"},
        {"HOST:PORT", nowhere},
        {"HOST2", nowhere},
        {"HOST", nowhere},
        {"//host/", "//" + nowhere + "/"},
        {"--server URL", "--server http://" + nowhere + "/aap.do"},
        {"$S", "https://" + nowhere + "/web_http_app/"},
        {"DIR", dir.path() + "/tally"},
        {"~/Music", dir.path() + "/music"},
        {"HEX", "00112233445566778899aabbccddeeff"},
    };
    const std::vector<std::string> examples = readmeExamples();
    int run = 0;
    std::size_t met = 0;
    for (const std::string &example : examples) {
        // Synopses ("[--data BODY]", "[OPTIONS]") show a form, not a command.
        if (example.find('[') != std::string::npos && example.find("\"<") == std::string::npos) {
            continue;
        }
        const std::string tool = toolOf(example);
        std::string command = toolPaths().at(tool) + example.substr(example.find(' '));
        command = replaceHostPorts(command, nowhere, {{"127.0.0.1:8443", loginHost}});
        for (const auto &[from, to] : places) {
            command = replaceWord(command, from, to);
        }
        SCOPED_TRACE(example + "\n  ran as: " + command);
        const std::string errFile = (dir / "stderr.txt").string();
        int status = 0;
        const std::size_t loginsBefore = logins();
        const std::string out = auratest::capture("cd " + quote(dir.path()) + " && ALSA_CONFIG_PATH=" +
                                                      quote(noDevice.path()) + " " + command + " 2>" + quote(errFile),
                                                  &status);
        const auto bytes = auratest::readAll(errFile);
        const std::string err(bytes.begin(), bytes.end());
        ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << err;
        // Never refused as a command line; those that need no server work.
        EXPECT_NE(WEXITSTATUS(status), 2) << err;
        EXPECT_EQ(err.find("usage:"), std::string::npos) << err;
        const bool needsAPeer = command.find(nowhere) != std::string::npos && command.find("tally-driver") ==
                                std::string::npos;
        if (!needsAPeer && example.find(" decrypt ") == std::string::npos) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << out << err;
        }
        for (const auto &[marker, shows] : effects) {
            if (command.find(marker) == std::string::npos) {
                continue;
            }
            size_t at = 0;
            for (const std::string &line : shows) {
                at = out.find(line, at);
                EXPECT_NE(at, std::string::npos) << line << "\n" << out << err;
            }
            EXPECT_EQ(logins(), loginsBefore + 1) << out << err;
            ++met;
        }
        ++run;
    }
    // The examples are there to be found (a change of the README's layout
    // must not leave this test running nothing).
    EXPECT_GE(run, 25) << examples.size() << " examples found";
    EXPECT_EQ(met, effects.size());
}

} // namespace
