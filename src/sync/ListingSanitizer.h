#pragma once

class Listing;

// Marks removed every item of a listing that names something it may not:
// a directory or an entry whose path is not a safe relative path inside the
// game folder, and a file inside an IMG archive whose name cannot be a member
// name. Each one is logged. Returns how many were marked. Run on the sync
// list and on the remembered state right after they are read: both come from
// outside the program.
int sanitizeListing(Listing &listing);
