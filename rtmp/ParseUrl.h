// Splitting an RTMP URL, as the host hands it to the RTMP source, into protocol, host name,
// port, application and play path; and the protocols' names as the connection logs them.
//
//   rtmp://server:1936/vod/clips/intro.flv
//   \__/   \____/ \__/ \_______/ \___/
//   scheme  host  port application play path (".flv" dropped)
//
// Pure functions, safe to call from any thread.
#pragma once

namespace RTMP_LIB {

// Protocol codes, chosen by the scheme in front of "://" (letter case ignored).
enum RtmpProtocol : int {
    RTMP_PROTOCOL_RTMP = 0,    // "rtmp"
    RTMP_PROTOCOL_RTMPT = 1,   // "rtmpt"
    RTMP_PROTOCOL_RTMPS = 2,   // "rtmps"
    RTMP_PROTOCOL_RTMPE = 3,   // "rtmpe"
    RTMP_PROTOCOL_RTMPTE = 4,  // "rtmpte"
    RTMP_PROTOCOL_RTMFP = 5,   // "rtmfp"
};

// The display names indexed by protocol code: "RTMP", "RTMPT", "RTMPS", "RTMPE", "RTMPTE",
// "RTMFP", each zero-padded to 7 bytes.
extern const char RtmpProtocolNames[6][7];

// The display name of |protocol|, or "" for a code outside 0..5.
const char* RtmpProtocolName(int protocol);

// Parses the zero-terminated |url| (not modified) and logs every step through RtmpLog.
// Returns false only when |url| holds no "://" (or is null); any other problem is logged and
// the parts found so far are returned with true.
//
// *protocol is always set (0 unless a known scheme is found). *host, *port, *app and *playpath
// are written only for a part that was found: the caller sets them to null and 0 first and
// releases the strings with free(). Each string is a copy of characters of |url|. A port of 0
// or without digits becomes 1935; a port left at 0 means the URL named none. An out-parameter
// that is null is skipped.
bool ParseUrl(const char* url, int* protocol, char** host, unsigned int* port, char** app,
              char** playpath);

}  // namespace RTMP_LIB
