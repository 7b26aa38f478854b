/* Replays the golden vectors of the fixture schema (`korva schema vectors`)
 * against its generated header, compiled as C11:
 *
 *     schema_harness fixture.vectors
 *
 * Every body is unpacked into a struct filled with garbage first; the status
 * must be the one the Python codec gave. A refused body must leave the struct
 * all zero. An accepted one must give the vector's fields, wire value for wire
 * value, pack back to the vector's body byte for byte, and go out through the
 * C++ send helper and the engine as a frame that carries that body under the
 * message's id and type. The C code does not look inside text: a string that
 * is not UTF-8 or holds a NUL (Python: bad_text) is accepted as it is.
 * Exit status 0 when everything matched, 1 otherwise. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fixture.korva.h"
#include "harness_send.h"

enum { LINE_ROOM = 8192, TEXT_ROOM = 4096, BODY_ROOM = 256, GARBAGE = 0xA5, FRAME_HEAD = 4, FRAME_TAIL = 3 };

/* What replaying one body gave. */
typedef struct {
    int status;
    char fields[TEXT_ROOM];
    size_t fields_len;
    int first_value;
    uint8_t repack[BODY_ROOM];
    uint8_t repack_len;
    uint8_t frame[HARNESS_FRAME_ROOM];
    uint16_t frame_len;
    uint8_t key;
} Replay;

static void append(Replay *r, const char *text)
{
    size_t len = strlen(text);
    if (r->fields_len + len < sizeof r->fields) {
        memcpy(r->fields + r->fields_len, text, len + 1);
        r->fields_len += len;
    }
}

/* Fields as the vectors write them: NAME=V,V,... separated by spaces. */
static void field(Replay *r, const char *name)
{
    if (r->fields_len) {
        append(r, " ");
    }
    append(r, name);
    append(r, "=");
    r->first_value = 1;
}

static void value_text(Replay *r, const char *text)
{
    if (!r->first_value) {
        append(r, ",");
    }
    r->first_value = 0;
    append(r, text);
}

static void put_u(Replay *r, uint64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64, value);
    value_text(r, text);
}

static void put_i(Replay *r, int64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRId64, value);
    value_text(r, text);
}

static void put_f32(Replay *r, float value)
{
    char text[16];
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    snprintf(text, sizeof text, "0x%08" PRIx32, bits);
    value_text(r, text);
}

static void put_f64(Replay *r, korva_f64_t value)
{
    char text[24];
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    snprintf(text, sizeof text, "0x%016" PRIx64, bits);
    value_text(r, text);
}

static void put_hex(Replay *r, const void *bytes, size_t len)
{
    char text[2 * BODY_ROOM + 1] = "";
    size_t i;
    for (i = 0; i < len; ++i) {
        snprintf(text + 2 * i, 3, "%02x", ((const uint8_t *)bytes)[i]);
    }
    value_text(r, text);
}

static void print_status(Replay *r, const fixture_status_t *m)
{
    size_t i;
    field(r, "temp");
    put_i(r, m->temp);
    field(r, "cells");
    for (i = 0; i < 4; ++i) {
        put_u(r, m->cells[i]);
    }
    field(r, "flags");
    put_u(r, m->flags);
    field(r, "uptime");
    put_u(r, m->uptime);
    field(r, "ok");
    put_u(r, m->ok);
    field(r, "ramp_ms");
    put_u(r, m->ramp_ms);
}

static void print_every_type(Replay *r, const fixture_every_type_t *m)
{
    size_t i;
    field(r, "a");
    put_u(r, m->a);
    field(r, "b");
    put_i(r, m->b);
    field(r, "c");
    put_u(r, m->c);
    field(r, "d");
    put_i(r, m->d);
    field(r, "e");
    put_u(r, m->e);
    field(r, "f");
    put_i(r, m->f);
    field(r, "g");
    put_u(r, m->g);
    field(r, "h");
    put_i(r, m->h);
    field(r, "x");
    put_f32(r, m->x);
    field(r, "y");
    put_f64(r, m->y);
    field(r, "flag");
    put_u(r, m->flag);
    field(r, "pair");
    for (i = 0; i < 2; ++i) {
        put_i(r, m->pair[i]);
    }
    field(r, "switches");
    for (i = 0; i < 3; ++i) {
        put_u(r, m->switches[i]);
    }
    field(r, "coords");
    for (i = 0; i < 2; ++i) {
        put_f64(r, m->coords[i]);
    }
    field(r, "raw");
    for (i = 0; i < 3; ++i) {
        put_i(r, m->raw[i]);
    }
    field(r, "blob");
    put_hex(r, m->blob, m->blob_len);
}

static void print_get_config(Replay *r, const fixture_get_config_t *m)
{
    (void)r;
    (void)m;
}

static void print_config(Replay *r, const fixture_config_t *m)
{
    size_t i;
    field(r, "period");
    put_u(r, m->period);
    field(r, "level");
    put_i(r, m->level);
    field(r, "gain");
    put_f32(r, m->gain);
    field(r, "trim");
    put_i(r, m->trim);
    field(r, "enabled");
    put_u(r, m->enabled);
    field(r, "weights");
    for (i = 0; i < 3; ++i) {
        put_u(r, m->weights[i]);
    }
    field(r, "spread");
    for (i = 0; i < 2; ++i) {
        put_u(r, m->spread[i]);
    }
    field(r, "label");
    put_hex(r, m->label, m->label_len);
    if (m->label[m->label_len] != '\0') {
        append(r, " (label not NUL-terminated)");
    }
}

static void print_note(Replay *r, const fixture_note_t *m)
{
    field(r, "text");
    put_hex(r, m->text, m->text_len);
    if (m->text[m->text_len] != '\0') {
        append(r, " (text not NUL-terminated)");
    }
}

static void print_wide(Replay *r, const fixture_wide_t *m)
{
    field(r, "small");
    put_i(r, m->small);
    field(r, "level");
    put_u(r, m->level);
    field(r, "word");
    put_u(r, m->word);
    field(r, "mask");
    put_u(r, m->mask);
}

static int all_zero(const void *bytes, size_t len)
{
    size_t i;
    for (i = 0; i < len; ++i) {
        if (((const uint8_t *)bytes)[i] != 0) {
            return 0;
        }
    }
    return 1;
}

/* Unpack into garbage; on success print, pack and send; a refused body must
 * leave the struct zeroed (reported as status 99 when it does not). */
#define REPLAY(message, short_name)                                                                            \
    static void replay_##short_name(const uint8_t *body, uint8_t len, Replay *r)                              \
    {                                                                                                          \
        message##_t m;                                                                                         \
        memset(&m, GARBAGE, sizeof m);                                                                         \
        r->key = (uint8_t)(message##_KEY_OF);                                                                 \
        r->status = message##_unpack(&m, body, len);                                                           \
        if (r->status < 0) {                                                                                   \
            if (!all_zero(&m, sizeof m)) {                                                                     \
                r->status = 99;                                                                                \
            }                                                                                                  \
            return;                                                                                            \
        }                                                                                                      \
        print_##short_name(r, &m);                                                                             \
        if (message##_pack(&m, r->repack, &r->repack_len) != KORVA_SCHEMA_OK) {                                \
            r->status = 98;                                                                                    \
        }                                                                                                      \
        r->frame_len = harness_send_##message(&m, r->frame);                                                   \
    }

#define fixture_status_KEY_OF FIXTURE_STATUS_KEY
#define fixture_every_type_KEY_OF FIXTURE_EVERY_TYPE_KEY
#define fixture_get_config_KEY_OF FIXTURE_GET_CONFIG_KEY
#define fixture_config_KEY_OF FIXTURE_CONFIG_KEY
#define fixture_note_KEY_OF FIXTURE_NOTE_KEY
#define fixture_wide_KEY_OF FIXTURE_WIDE_KEY

REPLAY(fixture_status, status)
REPLAY(fixture_every_type, every_type)
REPLAY(fixture_get_config, get_config)
REPLAY(fixture_config, config)
REPLAY(fixture_note, note)
REPLAY(fixture_wide, wide)

typedef struct {
    const char *name;
    void (*replay)(const uint8_t *body, uint8_t len, Replay *r);
    uint8_t max_size;
} Message;

static const Message MESSAGES[] = {
    {"status", replay_status, FIXTURE_STATUS_MAX_SIZE},
    {"every_type", replay_every_type, FIXTURE_EVERY_TYPE_MAX_SIZE},
    {"get_config", replay_get_config, FIXTURE_GET_CONFIG_MAX_SIZE},
    {"config", replay_config, FIXTURE_CONFIG_MAX_SIZE},
    {"note", replay_note, FIXTURE_NOTE_MAX_SIZE},
    {"wide", replay_wide, FIXTURE_WIDE_MAX_SIZE},
};

static const char *status_name(int status)
{
    switch (status) {
    case KORVA_SCHEMA_OK:
        return "ok";
    case KORVA_SCHEMA_EXTRA:
        return "extra";
    case KORVA_SCHEMA_SHORT:
        return "short";
    case KORVA_SCHEMA_PARTIAL:
        return "partial";
    case KORVA_SCHEMA_BAD_BOOL:
        return "bad_bool";
    case KORVA_SCHEMA_TOO_LONG:
        return "too_long";
    case 98:
        return "pack_failed";
    case 99:
        return "refused_but_struct_not_zeroed";
    default:
        return "unknown";
    }
}

static int from_hex(const char *text, uint8_t *bytes, size_t room)
{
    size_t len = strlen(text), i;
    if (strcmp(text, "-") == 0) {
        return 0;
    }
    if (len % 2 || len / 2 > room) {
        return -1;
    }
    for (i = 0; i < len / 2; ++i) {
        unsigned value;
        if (sscanf(text + 2 * i, "%2x", &value) != 1) {
            return -1;
        }
        bytes[i] = (uint8_t)value;
    }
    return (int)(len / 2);
}

static int same_bytes(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len)
{
    return a_len == b_len && (a_len == 0 || memcmp(a, b, a_len) == 0);
}

/* The frame the send helper wrote: the packed body, under the message's key. */
static int frame_carries(const Replay *r)
{
    return r->frame_len == FRAME_HEAD + r->repack_len + FRAME_TAIL && r->frame[1] == r->repack_len &&
           r->frame[3] == r->key && same_bytes(r->frame + FRAME_HEAD, r->repack_len, r->repack, r->repack_len);
}

/* One vector line; returns 1 when it matched, 0 otherwise (and says why). */
static int check_vector(unsigned line_number, char *line, unsigned *accepted)
{
    enum { NAME, ID, TYPE, STATUS, EXTRA, BODY, REPACK, FIELDS, MAX_WORDS = 64 };
    char *words[MAX_WORDS], fields[TEXT_ROOM] = "";
    uint8_t body[BODY_ROOM], expected_repack[BODY_ROOM];
    int body_len, repack_len, count = 0, k;
    size_t i;
    const Message *message = NULL;
    Replay r;

    for (words[0] = strtok(line, " \n"); words[count] != NULL && count + 1 < MAX_WORDS;) {
        words[++count] = strtok(NULL, " \n");
    }
    if (count < FIELDS) {
        printf("line %u: fewer than %d words\n", line_number, FIELDS);
        return 0;
    }
    for (k = FIELDS; k < count; ++k) {
        if (k > FIELDS) {
            strncat(fields, " ", sizeof fields - strlen(fields) - 1);
        }
        strncat(fields, words[k], sizeof fields - strlen(fields) - 1);
    }
    for (i = 0; i < sizeof MESSAGES / sizeof MESSAGES[0]; ++i) {
        if (strcmp(MESSAGES[i].name, words[NAME]) == 0) {
            message = &MESSAGES[i];
        }
    }
    body_len = from_hex(words[BODY], body, sizeof body);
    if (message == NULL || body_len < 0) {
        printf("line %u: unknown message %s or bad body\n", line_number, words[NAME]);
        return 0;
    }
    memset(&r, 0, sizeof r);
    message->replay(body, (uint8_t)body_len, &r);
    /* The C code takes text as bytes: what Python refuses as text is accepted. */
    if (strcmp(status_name(r.status), strcmp(words[STATUS], "bad_text") == 0 ? "ok" : words[STATUS]) != 0) {
        printf("line %u: %s %s: status %s, expected %s\n", line_number, words[NAME], words[BODY],
               status_name(r.status), words[STATUS]);
        return 0;
    }
    if (r.status < 0) {
        return 1;
    }
    ++*accepted;
    if (strcmp(words[STATUS], "bad_text") == 0) { /* no fields to compare; it packs back as it came */
        memcpy(expected_repack, body, (size_t)body_len);
        repack_len = body_len;
    } else {
        repack_len = from_hex(words[REPACK], expected_repack, sizeof expected_repack);
        if (strcmp(fields, r.fields) != 0) {
            printf("line %u: %s %s: fields\n  got      %s\n  expected %s\n", line_number, words[NAME],
                   words[BODY], r.fields, fields);
            return 0;
        }
    }
    if (r.status == KORVA_SCHEMA_EXTRA && atoi(words[EXTRA]) != body_len - message->max_size) {
        printf("line %u: %s: %d extra bytes by the header's size, %s by the vector\n", line_number, words[NAME],
               body_len - message->max_size, words[EXTRA]);
        return 0;
    }
    if (repack_len < 0 || !same_bytes(r.repack, r.repack_len, expected_repack, (size_t)repack_len)) {
        printf("line %u: %s %s: packed back differently\n", line_number, words[NAME], words[BODY]);
        return 0;
    }
    if (!frame_carries(&r)) {
        printf("line %u: %s %s: the send helper's frame does not carry the packed body\n", line_number,
               words[NAME], words[BODY]);
        return 0;
    }
    return 1;
}

/* What pack refuses, which no vector can hold: the codec never encodes it. */
static int pack_refusals(void)
{
    uint8_t body[BODY_ROOM], untouched[BODY_ROOM], len = 0;
    fixture_config_t config;
    fixture_wide_t wide;
    int failures = 0;
    memset(&config, 0, sizeof config);
    config.label_len = FIXTURE_CONFIG_LABEL_MAX_LEN + 1;
    memset(&wide, 0, sizeof wide);
    wide.word = 0x8000u; /* above the named bits */
    memset(body, GARBAGE, sizeof body);
    memset(untouched, GARBAGE, sizeof untouched);
    if (fixture_config_pack(&config, body, &len) != KORVA_SCHEMA_TOO_LONG || len != 0 ||
        memcmp(body, untouched, sizeof body) != 0) {
        printf("pack of a label one byte over its max was not refused\n");
        ++failures;
    }
    if (fixture_wide_pack(&wide, body, &len) != KORVA_SCHEMA_BAD_BITS || len != 0 ||
        memcmp(body, untouched, sizeof body) != 0) {
        printf("pack of a bit outside the named bits was not refused\n");
        ++failures;
    }
    wide.word = FIXTURE_WIDE_WORD_HIGH_MASK | FIXTURE_WIDE_WORD_LOW_MASK;
    if (fixture_wide_pack(&wide, body, &len) != KORVA_SCHEMA_OK || len != FIXTURE_WIDE_MAX_SIZE || body[5] != 0xFF ||
        body[6] != 0x0F) {
        printf("pack of every named bit went wrong\n");
        ++failures;
    }
    return failures;
}

int main(int argc, char **argv)
{
    char line[LINE_ROOM];
    unsigned line_number = 0, vectors = 0, matched = 0, accepted = 0;
    int failures;
    FILE *file;
    if (argc != 2) {
        fprintf(stderr, "usage: %s FIXTURE.vectors\n", argv[0]);
        return 2;
    }
    file = fopen(argv[1], "r");
    if (file == NULL) {
        perror(argv[1]);
        return 1;
    }
    while (fgets(line, sizeof line, file) != NULL) {
        ++line_number;
        if (strchr(line, '\n') == NULL && !feof(file)) {
            printf("line %u: longer than %d bytes\n", line_number, LINE_ROOM);
            break;
        }
        if (line[0] == '#' || line[0] == '\n') {
            continue;
        }
        ++vectors;
        matched += (unsigned)check_vector(line_number, line, &accepted);
    }
    fclose(file);
    failures = pack_refusals();
    printf("%u vectors, %u matched (%u accepted, %u refused); %d pack refusal checks failed\n", vectors, matched,
           accepted, matched - accepted, failures);
    return vectors > 0 && matched == vectors && failures == 0 ? 0 : 1;
}
