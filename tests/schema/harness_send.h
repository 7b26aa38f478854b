/* The fixture's messages sent through a real engine by the C++ send helper
 * (harness_send.cpp): each function packs and sends `m` and copies the frame
 * the engine wrote into `frame` (room for 262 bytes); it returns the frame's
 * length, 0 when the helper reported anything but a sent frame. */
#ifndef KORVA_HARNESS_SEND_H
#define KORVA_HARNESS_SEND_H

#include "fixture.korva.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HARNESS_FRAME_ROOM 262
#define HARNESS_RECEIVER 9

uint16_t harness_send_fixture_status(const fixture_status_t *m, uint8_t *frame);
uint16_t harness_send_fixture_every_type(const fixture_every_type_t *m, uint8_t *frame);
uint16_t harness_send_fixture_get_config(const fixture_get_config_t *m, uint8_t *frame);
uint16_t harness_send_fixture_config(const fixture_config_t *m, uint8_t *frame);
uint16_t harness_send_fixture_note(const fixture_note_t *m, uint8_t *frame);
uint16_t harness_send_fixture_wide(const fixture_wide_t *m, uint8_t *frame);

#ifdef __cplusplus
}
#endif

#endif
