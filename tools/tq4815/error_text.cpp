// Error numbers as the library reports them through GetLastADError.
#include "error_text.h"

namespace tool {
namespace {

struct ErrorRow {
    int code;
    const char *meaning;
};

constexpr ErrorRow kErrors[] = {
    {0, "no error"},
    {2, "device not open (no Tq4815x device was found when the library loaded)"},
    {3, "not initialised (Initial has not succeeded)"},
    {10, "buffer count is 0"},
    {11, "scans per buffer below 5"},
    {12, "channel count is 0"},
    {13, "notification slot index is 4 or more"},
    {14, "channel count above 32"},
    {15, "count out of range"},
    {16, "rate code below -100000"},
    {17, "rate code above 100000"},
    {18, "no data: no unread buffer is available"},
    {19, "the system refused the request before the driver saw it"},
    {101, "initialisation record is not 16 bytes"},
    {102, "acquisition already running"},
    {103, "board not present (registers or bridge range missing)"},
    {105, "no interrupt assigned"},
    {107, "device not initialised"},
    {108, "start record is not 32 bytes"},
    {109, "allocation of the data buffers failed"},
    {110, "no acquisition running"},
    {111, "last acquisition was not in ring mode"},
    {112, "output length not acceptable"},
    {113, "last acquisition was not in snapshot mode"},
    {114, "malformed board command"},
    {116, "malformed card-frequency request"},
    {117, "notification event cannot be referenced"},
    {118, "start record field out of range"},
    {119, "request buffer too short"},
    {120, "conversion did not complete"},
    {121, "port outside the card's ranges"},
    {1000, "card frequency not programmed (EEPROM erased)"},
};

}  // namespace

const char *ErrorMeaning(int code)
{
    for (const ErrorRow &row : kErrors)
        if (row.code == code)
            return row.meaning;
    return "unknown error";
}

std::string DescribeFailure(const char *exportName, int code)
{
    return std::string(exportName) + " failed: error " + std::to_string(code) + " (" + ErrorMeaning(code) + ")";
}

}  // namespace tool
