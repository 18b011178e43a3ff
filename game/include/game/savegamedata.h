// The game's saved online data: the remembered login (e-mail and password),
// the avatar number and, for the six score slots, the newest high score and
// the one last posted to the login service.
//
// Everything lives in the dictionary of "ZLV_Preferences.plist" in the
// application's Documents folder, under the keys below; keys that are not
// ours are kept as they were. The file holds the password in clear (the
// game reads it back to log in at start), so it is written with mode 0600.
//
// Several instances may share the file: loads and saves take its lock
// ("<file>.lock"), and a save writes what this process changed since it
// last read or wrote the file, taking the rest from the file as it is then.
// What cannot be read or written is said on the console (standard error).
//
// Main thread only.
#ifndef GAME_SAVEGAMEDATA_H
#define GAME_SAVEGAMEDATA_H

#include <array>
#include <cstddef>
#include <string>

namespace paddle::savegamedata {

inline constexpr const char *kPreferencesFileName = "ZLV_Preferences.plist";
inline constexpr const char *kLoginKey = "MerixLogin"; // string
inline constexpr const char *kPasswordKey = "MerixPassword"; // string
inline constexpr const char *kFaceKey = "MerixFace"; // integer
inline constexpr const char *kNewHighScoresKey = "MerixNewHighScores"; // 6 integers
inline constexpr const char *kLastHighScoresKey = "MerixLastHighScores"; // 6 integers

inline constexpr std::size_t kLoginBufferBytes = 64;
inline constexpr unsigned kScoreSlots = 6;
// The largest preferences file read (the game keeps its own state in the
// same file, a megabyte or so); a larger one, like one that does not read or
// parse, is moved aside to "<file>.damaged" (".damaged.1", ".2"... when
// that is taken) before anything is written.
inline constexpr std::size_t kMaxPreferencesBytes = std::size_t{16} << 20;

// The preferences file's full path.
[[nodiscard]] std::string PreferencesPath();

// Reads the saved data from the preferences file; a missing or unreadable
// file leaves everything empty (a damaged one is moved aside). True when
// the file was read. Removes what killed saves left, as the next does.
bool LoadMerixLogin();

// At launch: removes the temporary files of saves that a kill cut short
// (they hold the password), never those of a save in progress.
void RemoveLeftoverFiles();

// Copies both texts (each cut to 63 bytes and terminated; null reads as
// empty) and writes the preferences file at once.
void SetMerixLogin(const char *login, const char *password);
// The saved login and password, terminated, at most 63 bytes each.
[[nodiscard]] const char *GetMerixLogin();
[[nodiscard]] const char *GetMerixPassword();

// In memory only.
void SetMerixFace(unsigned int face);
[[nodiscard]] unsigned int GetMerixFace();

// Writes login, password, avatar and both score records; false when the
// file could not be written (said on the console; the file keeps what it
// held, and what changed stays to be written by the next save).
bool SaveMerixLogin();
// How many saves of this process failed.
[[nodiscard]] unsigned int GetFailedSaveCount();

// Slots past 5 read 0 and are not written.
[[nodiscard]] unsigned int GetNewHighScore(unsigned int slot);
[[nodiscard]] unsigned int GetLastHighScore(unsigned int slot);
// Sets a slot's newest high score and saves.
void SetNewHighScore(unsigned int slot, unsigned int score);
// Raises a slot's last posted score to `score` when that is greater, and
// saves when it changed.
void RaiseLastHighScore(unsigned int slot, unsigned int score);
// For every slot, the last posted score becomes the newest where that is
// greater; then saves.
void CopyMerixLastHighScore();

// Forgets everything in memory (not the file), as at process start.
void ForgetAll();

} // namespace paddle::savegamedata

#endif // GAME_SAVEGAMEDATA_H
