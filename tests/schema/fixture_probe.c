/* The flash each fixture message costs a firmware that uses it both ways:
 * per message, one function unpacks a received body and hands the struct on,
 * another packs a struct it was handed. Built twice per board: as it is, and
 * with KORVA_PROBE_OPAQUE, where the same functions call opaque functions of
 * the same signatures instead. The difference of the two builds' sizes is the
 * code pack and unpack add; the footprint report reads it per message, and
 * the data and bss of this file (zero) are the RAM they add. */
#include "fixture.korva.h"

void probe_consume(const void *message);
void probe_produce(void *message);

#ifdef KORVA_PROBE_OPAQUE
#define KORVA_PROBE_DECLARE(message)                                                                           \
    int message##_unpack_opaque(message##_t *m, const uint8_t *body, uint8_t len);                             \
    int message##_pack_opaque(const message##_t *m, uint8_t *body, uint8_t *len);
#define KORVA_PROBE_UNPACK(message) message##_unpack_opaque
#define KORVA_PROBE_PACK(message) message##_pack_opaque
#else
#define KORVA_PROBE_DECLARE(message)
#define KORVA_PROBE_UNPACK(message) message##_unpack
#define KORVA_PROBE_PACK(message) message##_pack
#endif

#define KORVA_PROBE(message)                                                                                   \
    KORVA_PROBE_DECLARE(message)                                                                               \
    int message##_received(const uint8_t *body, uint8_t len);                                                  \
    int message##_sent(uint8_t *body);                                                                         \
    int message##_received(const uint8_t *body, uint8_t len)                                                   \
    {                                                                                                          \
        message##_t m;                                                                                         \
        if (KORVA_PROBE_UNPACK(message)(&m, body, len) < 0) {                                                  \
            return -1;                                                                                         \
        }                                                                                                      \
        probe_consume(&m);                                                                                     \
        return 0;                                                                                              \
    }                                                                                                          \
    int message##_sent(uint8_t *body)                                                                          \
    {                                                                                                          \
        message##_t m;                                                                                         \
        uint8_t len = 0;                                                                                       \
        probe_produce(&m);                                                                                     \
        return KORVA_PROBE_PACK(message)(&m, body, &len) < 0 ? -1 : len;                                       \
    }

KORVA_PROBE(fixture_status)
KORVA_PROBE(fixture_every_type)
KORVA_PROBE(fixture_get_config)
KORVA_PROBE(fixture_config)
KORVA_PROBE(fixture_note)
KORVA_PROBE(fixture_wide)
