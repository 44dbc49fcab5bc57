#pragma once

class Listing;

// Marks removed every item of a listing that names something the launcher
// could never store as named, so that it is neither fetched again and again
// nor acted upon at all. Each one is logged. Returns how many were marked.
// Run on the sync list and on the remembered state right after they are
// read: both come from outside the program.
//
// Refused are: a directory or an entry whose path is not a safe relative
// path inside the game folder, or not in the launcher's own form of names
// (lower case, no blanks: the clean-up renames anything else, and it would
// never be found under the listed name); an entry whose path is also a
// directory, or a folder on the way to another item; an audio file whose
// parts cannot make up its size (parts of less than MinAudioPartSize but
// the last); an archive that could not be fetched whole (no parts, or more
// than MaxImgBlocks); and a file inside an IMG archive whose name cannot be
// a member name, that differs from an earlier member's only in case (the
// archive finds names ignoring case, so the two would overwrite each
// other), that is empty (the scan does not see records of no length) or
// too large for an archive record.
int sanitizeListing(Listing &listing);
