// The message of every result, compared with the engine's published texts.
#include "aura_errors.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

// The texts as documented, without the one trailing blank that every
// message but that of AURA_OK carries.
const std::vector<std::pair<int, std::string>> kDocumented = {
    {0, "No errors."},
    {1, "Tried to call lock a second time before unlock was called."},
    {2, "Tried to call a function on a data type that does not allow this type of functionality (ie calling Sound::lock on a streaming sound)."},
    {3, "Neither NTSCSI nor ASPI could be initialised."},
    {4, "An error occurred while initialising the CDDA subsystem."},
    {5, "Couldn't find the specified device."},
    {6, "No audio tracks on the specified disc."},
    {7, "No CD/DVD devices were found."},
    {8, "No disc present in the specified drive."},
    {9, "A CDDA read error occurred."},
    {10, "Error trying to allocate a channel."},
    {11, "The specified channel has been reused to play another sound."},
    {12, "A Win32 COM related error occurred. COM failed to initialize or a QueryInterface failed meaning a Windows codec or driver was not installed properly."},
    {13, "DMA Failure.  See debug output for more information."},
    {14, "DSP connection error.  Connection possibly caused a cyclic dependancy.  Or tried to connect a tree too many units deep (more than 128)."},
    {15, "DSP Format error.  A DSP unit may have attempted to connect to this network with the wrong format."},
    {16, "DSP connection error.  Couldn't find the DSP unit specified."},
    {17, "DSP error.  Cannot perform this operation while the network is in the middle of running.  This will most likely happen if a connection or disconnection is attempted in a DSP callback."},
    {18, "DSP connection error.  The unit being connected to or disconnected should only have 1 input or output."},
    {19, "Error loading file."},
    {20, "Couldn't perform seek operation.  This is a limitation of the medium (ie netstreams) or the file format."},
    {21, "Media was ejected while reading."},
    {22, "End of file unexpectedly reached while trying to read essential data (truncated data?)."},
    {23, "File not found."},
    {24, "Unwanted file access occurred."},
    {25, "Unsupported file or audio format."},
    {26, "A HTTP error occurred. This is a catch-all for HTTP errors not listed elsewhere."},
    {27, "The specified resource requires authentication or is forbidden."},
    {28, "Proxy authentication is required to access the specified resource."},
    {29, "A HTTP server error occurred."},
    {30, "The HTTP request timed out."},
    {31, "AURA was not initialized correctly to support this function."},
    {32, "Cannot call this command after System::init."},
    {33, "An error occurred that wasn't supposed to.  Contact support."},
    {34, "On Xbox 360, this memory address passed to AURA must be physical, (ie allocated with XPhysicalAlloc.)"},
    {35, "Value passed in was a NaN, Inf or denormalized float."},
    {36, "An invalid object handle was used."},
    {37, "An invalid parameter was passed to this function."},
    {38, "An invalid seek position was passed to this function."},
    {39, "An invalid speaker was passed to this function based on the current speaker mode."},
    {40, "The syncpoint did not come from this sound handle."},
    {41, "The vectors passed in are not unit length, or perpendicular."},
    {42, "PS2 only.  aura.irx failed to initialize.  This is most likely because you forgot to load it."},
    {43, "Reached maximum audible playback count for this sound's soundgroup."},
    {44, "Not enough memory or resources."},
    {45, "Can't use AURA_OPENMEMORY_POINT on non PCM source data, or non mp3/xma/adpcm data if AURA_CREATECOMPRESSEDSAMPLE was used."},
    {46, "PS2 only.  Not enough memory or resources on PlayStation 2 IOP ram."},
    {47, "Not enough memory or resources on console sound ram."},
    {48, "Tried to call a command on a 3d sound when the command was meant for 2d sound."},
    {49, "Tried to call a command on a 2d sound when the command was meant for 3d sound."},
    {50, "Tried to use a feature that requires hardware support.  (ie trying to play a VAG compressed sound in software on PS2)."},
    {51, "Tried to use a feature that requires the software engine.  Software engine has either been turned off, or command was executed on a hardware channel which does not support this feature."},
    {52, "Couldn't connect to the specified host."},
    {53, "A socket error occurred.  This is a catch-all for socket-related errors not listed elsewhere."},
    {54, "The specified URL couldn't be resolved."},
    {55, "Operation on a non-blocking socket could not complete immediately."},
    {56, "Operation could not be performed because specified sound/DSP connection is not ready."},
    {57, "Error initializing output device, but more specifically, the output device is already in use and cannot be reused."},
    {58, "Error creating hardware sound buffer."},
    {59, "A call to a standard soundcard driver failed, which could possibly mean a bug in the driver or resources were missing or exhausted."},
    {60, "Error enumerating the available driver list. List may be inconsistent due to a recent device addition or removal."},
    {61, "Soundcard does not support the minimum features needed for this soundsystem (16bit stereo output)."},
    {62, "Error initializing output device."},
    {63, "AURA_HARDWARE was specified but the sound card does not have the resources necessary to play it."},
    {64, "Attempted to create a software sound but no software channels were specified in System::init."},
    {65, "Panning only works with mono or stereo sound sources."},
    {66, "An unspecified error has been returned from a 3rd party plugin."},
    {67, "The number of allowed instances of a plugin has been exceeded."},
    {68, "A requested output, dsp unit type or codec was not available."},
    {69, "A resource that the plugin requires cannot be found. (ie the DLS file for MIDI playback)"},
    {70, "The specified sound is still in use by the event system, call EventSystem::unloadSBK before trying to release it."},
    {71, "The specified sound is still in use by the event system, wait for the event which is using it finish with it."},
    {72, "An error occurred trying to initialize the recording device."},
    {73, "Specified Instance in AURA_REVERB_PROPERTIES couldn't be set. Most likely because it is an invalid instance number, or another application has locked the EAX4 FX slot."},
    {74, "This subsound is already being used by another sound, you cannot have more than one parent to a sound.  Null out the other parent's entry first."},
    {75, "Shared subsounds cannot be replaced or moved from their parent stream, such as when the parent stream is an SBK file."},
    {76, "The subsound's mode bits do not match with the parent sound's mode bits.  See documentation for function that it was called with."},
    {77, "The error occurred because the sound referenced contains subsounds.  The operation cannot be performed on a parent sound, or a parent sound was played without setting up a sentence first."},
    {78, "The specified tag could not be found or there are no tags."},
    {79, "The sound created exceeds the allowable input channel count.  This can be increased using the maxinputchannels parameter in System::setSoftwareFormat."},
    {80, "Something in AURA hasn't been implemented when it should be! contact support!"},
    {81, "This command failed because System::init or System::setDriver was not called."},
    {82, "A command issued was not supported by this object.  Possibly a plugin without certain callbacks specified."},
    {83, "An error caused by System::update occurred."},
    {84, "The version number of this file format is not supported."},
    {85, "An Event failed to be retrieved, most likely due to 'just fail' being specified as the max playbacks behavior."},
    {86, "Can't execute this command on an EVENT_INFOONLY event."},
    {87, "An error occurred that wasn't supposed to.  See debug log for reason."},
    {88, "Event failed because 'Max streams' was hit when AURA_EVENT_INIT_FAIL_ON_MAXSTREAMS was specified."},
    {89, "SBK mismatches the FEV it was compiled with, the stream/sample mode it was meant to be created with was different, or the FEV was built for a different platform."},
    {90, "A category with the same name already exists."},
    {91, "The requested event, event group, event category or event property could not be found."},
    {92, "Tried to call a function on a complex event that's only supported by simple events."},
    {93, "An event with the same GUID already exists."},
    {94, "The specified project has already been loaded. Having multiple copies of the same project loaded simultaneously is forbidden."},
    {95, "Music system is not initialized probably because no music data is loaded."},
    {96, "The requested music entity could not be found."},
    {97, "The music callback is required, but it has not been set."},
};

TEST(ErrorString, EveryResultHasItsExactMessage)
{
    ASSERT_EQ(kDocumented.size(), static_cast<size_t>(AURA_RESULT_COUNT));
    for (const auto &[value, text] : kDocumented) {
        const std::string expected = value == 0 ? text : text + " ";
        EXPECT_EQ(AURA_ErrorString(static_cast<AURA_RESULT>(value)), expected) << "value " << value;
    }
}

TEST(ErrorString, NamedResultsMatchTheirValues)
{
    EXPECT_STREQ(AURA_ErrorString(AURA_OK), "No errors.");
    EXPECT_STREQ(AURA_ErrorString(AURA_ERR_INVALID_HANDLE), "An invalid object handle was used. ");
    EXPECT_STREQ(AURA_ErrorString(AURA_ERR_FILE_EOF),
                 "End of file unexpectedly reached while trying to read essential data "
                 "(truncated data?). ");
    EXPECT_STREQ(AURA_ErrorString(AURA_ERR_FORMAT), "Unsupported file or audio format. ");
    EXPECT_STREQ(AURA_ErrorString(AURA_ERR_MUSIC_NOCALLBACK),
                 "The music callback is required, but it has not been set. ");
    // Double blanks inside a message are part of it.
    EXPECT_STREQ(AURA_ErrorString(AURA_ERR_DMA),
                 "DMA Failure.  See debug output for more information. ");
}

TEST(ErrorString, ValuesOutsideTheTableAreUnknown)
{
    for (int value : {98, 99, 1000, 65536, INT_MAX, -1, -98, INT_MIN}) {
        EXPECT_STREQ(AURA_ErrorString(static_cast<AURA_RESULT>(value)), "Unknown error.")
            << "value " << value;
    }
}

} // namespace
