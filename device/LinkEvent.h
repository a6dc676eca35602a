// What a device link reports is sorted by kind, so that whoever shows it (the status line, the
// Messages window, velmor-bridge's stderr and exit status) decides by the kind and never by the
// wording of a text.
#pragma once

enum class TLinkEventKind {
    State,   // the link or the bridge changed state: opened, synchronised, lost, reopened
    Error,   // something failed or was lost
    Detail,  // a step of the handshake or of opening, for whoever looks into it
    Traffic, // a summary of bytes moved or carried
};
