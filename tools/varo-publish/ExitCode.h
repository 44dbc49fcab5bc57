#pragma once

// Exit statuses of varo-publish, after the BSD sysexits convention, so that
// scripts can tell a typing mistake from a game folder that needs fixing.
enum ExitCode : int {
    ExitOk = 0,
    ExitUsage = 64,       // bad arguments
    ExitRefused = 65,     // the game folder holds something the launcher cannot carry
    ExitNoInput = 66,     // the game folder, or a file in it, cannot be read
    ExitSoftware = 70,    // an archive could not be brought into its published form
    ExitCannotWrite = 73, // the mirror folder cannot be written
};
