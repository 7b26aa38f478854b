/* Every function of the fixture schema's header, in use: compiled with
 * -Werror and strict warnings as C11 and as C++ by the host and the cross
 * compilers, and measured function by function for the footprint report
 * (each pack and unpack is kept out of line, so it has a symbol and a size,
 * without adding any data). */
#include "fixture.korva.h"

/* Hands the function's address to the assembler, which keeps an out-of-line
 * copy alive without storing the address anywhere. */
#define KORVA_KEEP(function) __asm__ volatile("" : : "r"(&function))

#ifdef __cplusplus
extern "C" {
#endif

void fixture_keep_all(void);
int fixture_round_trip(const uint8_t *in, uint8_t len, uint8_t *out);

void fixture_keep_all(void)
{
    KORVA_KEEP(fixture_status_pack);
    KORVA_KEEP(fixture_status_unpack);
    KORVA_KEEP(fixture_every_type_pack);
    KORVA_KEEP(fixture_every_type_unpack);
    KORVA_KEEP(fixture_get_config_pack);
    KORVA_KEEP(fixture_get_config_unpack);
    KORVA_KEEP(fixture_config_pack);
    KORVA_KEEP(fixture_config_unpack);
    KORVA_KEEP(fixture_note_pack);
    KORVA_KEEP(fixture_note_unpack);
    KORVA_KEEP(fixture_wide_pack);
    KORVA_KEEP(fixture_wide_unpack);
}

/* The way firmware calls them: the struct is used only when unpack said so. */
int fixture_round_trip(const uint8_t *in, uint8_t len, uint8_t *out)
{
    fixture_status_t status;
    uint8_t out_len = 0;
    if (fixture_status_unpack(&status, in, len) < 0) {
        return -1;
    }
    if (status.ok && (status.flags & FIXTURE_STATUS_FLAGS_MODE_MASK) >> FIXTURE_STATUS_FLAGS_MODE_SHIFT ==
                         FIXTURE_MODE_BRAKE) {
        status.ramp_ms = 0;
    }
    return fixture_status_pack(&status, out, &out_len) < 0 ? -1 : out_len;
}

#ifdef __cplusplus
}

/* An engine as the send helper sees one: a send() taking the message type
 * as its own enum. */
namespace {
enum StandInType : uint8_t { STAND_IN_WRITE, STAND_IN_REQUEST, STAND_IN_RESPONSE, STAND_IN_INDICATE };
struct StandInEngine {
    StandInType type;
    uint8_t sent;
    int send(StandInType type_, uint8_t, uint8_t, const uint8_t *, uint8_t len, uint8_t)
    {
        type = type_;
        sent = len;
        return 1;
    }
};
} // namespace

int fixture_send_status(const fixture_status_t &status);
int fixture_send_status(const fixture_status_t &status)
{
    StandInEngine engine{STAND_IN_WRITE, 0};
    const int result = fixture_send(engine, 3, status);
    return result < 0 ? result : engine.type == STAND_IN_INDICATE ? engine.sent : -1;
}
#endif
