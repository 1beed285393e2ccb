// The codes of the upload and download steps, shown to the member as "ERRCODE=[n]" (0 is
// success). One table for both transfers: a code names the same kind of step in either.
#pragma once

enum ETransferCode : int {
    kTransferOk = 0,
    kTransferNoSession = -1,     // the HTTP session cannot be made
    kTransferNoConnection = -2,  // not produced: connecting and sending are one step here,
                                 // so an unusable or unreachable server gives -5
    kTransferBadRequest = -3,    // the request cannot be formed (the id, the path)
    kTransferNoHeader = -4,      // not produced: the header lines are part of the request
    kTransferNotSent = -5,       // nothing went through: the server is unreachable or refused
    kTransferClosingLine = -6,   // upload: the body's closing line cannot be written
    kTransferBrokeOff = -7,      // the body broke off (upload: sending it; download: receiving
                                 // it), or the exchange ended before the whole upload was taken
    kTransferLocalOpen = -8,     // a local archive cannot be opened (upload) or made (download)
    kTransferLocalStatus = -9,   // upload: an archive's status cannot be read
    kTransferLocalIo = -10,      // reading a local archive (upload, also when it changed size)
                                 // or writing one (download) fails
    kTransferRefused = -11,      // the server answered with a status outside 200-299
    kTransferNothing = -19,      // download: nothing to fetch; the member has been told
};
