// Parses the input as every login-service reply. Traps when a reply that
// holds no closing appserver tag is reported complete.
#include "kwexnet/tarv_responses.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace KwexNet::Tarv;
    if (size > 1 << 20) {
        return 0;
    }
    const auto *text = reinterpret_cast<const char *>(data);
    const auto length = static_cast<unsigned int>(size);
    const bool closed = std::string_view(text, size).find("</appserver") != std::string_view::npos;

    LoginResponse login;
    FindServerResponse find;
    LobbyResponse lobby;
    UpdatePreferencesResponse prefs;
    const bool complete[] = {
        login.ParseFromResponseXML(text, length),
        find.ParseFromResponseXML(text, length),
        lobby.ParseFromResponseXML(text, length),
        prefs.ParseFromResponseXML(text, length),
    };
    for (const bool c : complete) {
        require(!c || closed);
    }
    // A reused structure gives the same verdict on the same reply.
    require(login.ParseFromResponseXML(text, length) == complete[0]);

    GetRelationsResponse relations;
    GetLeaderboardResponse board;
    JoinGroupByTopicResponse join;
    const bool more[] = {
        relations.ParseFromResponseXML(text, length),
        board.ParseFromResponseXML(text, length),
        join.ParseFromResponseXML(text, length),
    };
    for (const bool c : more) {
        require(!c || closed);
    }
    // Every list points into this structure's own entries, once each.
    std::size_t listed = 0;
    for (const auto *list :
         {&relations.friends, &relations.blocked, &relations.pending_sent, &relations.pending_received}) {
        for (const std::size_t i : *list) {
            require(i < relations.entries.size());
        }
        listed += list->size();
    }
    require(listed <= relations.entries.size());
    require(relations.entries.size() <= GetRelationsResponse::kMaxRelations);
    require(login.profiles.size() <= LoginResponse::kMaxLoginEntries);
    require(login.games.size() <= LoginResponse::kMaxLoginEntries);
    for (const auto &entry : relations.entries) {
        require(entry.blocked == (entry.own_status == 'B' || entry.other_status == 'B'));
        require(!entry.blocked || relations.blocked_names.count(entry.target_user_name) == 1);
    }

    // Pages append rows with consecutive ranks from the first one given; a
    // refused page appends none, and gives the same verdict again.
    CDNLeaderboard page;
    const bool accepted = page.ParseFromResponseXML(text, length, 4000000000u);
    const std::size_t rows = page.entries.size();
    require(accepted || rows == 0);
    require(rows <= CDNLeaderboard::kMaxPageRows);
    require(page.ParseFromResponseXML(text, length, 1) == accepted);
    require(page.entries.size() == 2 * rows);
    for (const auto &row : page.entries) {
        for (const auto *field : {&row.score, &row.user_name, &row.user_id, &row.metadata, &row.gamedata}) {
            require(field->size() <= CDNLeaderboard::kMaxFieldBytes);
        }
    }
    for (std::size_t i = 0; i < rows; ++i) {
        require(page.entries[i].rank == static_cast<std::uint32_t>(4000000000u + i));
        require(page.entries[rows + i].rank == 1 + i);
    }
    return 0;
}
