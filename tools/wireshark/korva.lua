-- Wireshark dissector for Korva frames in captures of link type 147
-- (LINKTYPE_USER0), as `korva record` writes them: one frame per record.
--
--   FB | len | tx<<4 | rx | id<<2 | type | body (len bytes) | crc hi | crc lo | BF
--
-- The checksum is CRC-16/CMS (polynomial 0x8005, initial 0xFFFF, MSB first)
-- over everything from the start byte to the end of the body.
--
-- Load it for one run:   tshark -X lua_script:tools/wireshark/korva.lua -r capture.pcap
-- or for good: copy it into Wireshark's personal Lua plugins folder.
--
-- Bodies are handed on to the "korva.message" table, keyed by the id/type
-- byte (id << 2 | type); the dissectors `korva schema lua` writes register
-- there, so a schema's messages show their fields.

local korva = Proto("korva", "Korva framed messages")

local START, END, OVERHEAD = 0xFB, 0xBF, 7
local types = { [0] = "write", [1] = "request", [2] = "response", [3] = "indicate" }

local fields = korva.fields
fields.start = ProtoField.uint8("korva.start", "Start byte", base.HEX)
fields.len = ProtoField.uint8("korva.len", "Body length", base.DEC)
fields.src = ProtoField.uint8("korva.src", "Transmitter", base.DEC, nil, 0xF0)
fields.dst = ProtoField.uint8("korva.dst", "Receiver", base.DEC, nil, 0x0F)
fields.msg_id = ProtoField.uint8("korva.msg_id", "Message id", base.DEC, nil, 0xFC)
fields.type = ProtoField.uint8("korva.type", "Message type", base.DEC, types, 0x03)
fields.payload = ProtoField.bytes("korva.payload", "Body")
fields.crc = ProtoField.uint16("korva.crc", "Checksum", base.HEX)
fields.crc_status = ProtoField.string("korva.crc.status", "Checksum status")
fields.finish = ProtoField.uint8("korva.end", "End byte", base.HEX)

local bad_crc = ProtoExpert.new("korva.crc.bad", "Bad checksum", expert.group.CHECKSUM, expert.severity.WARN)
local bad_end = ProtoExpert.new("korva.end.bad", "Wrong end byte", expert.group.MALFORMED, expert.severity.WARN)
local bad_length = ProtoExpert.new("korva.len.bad", "Record length does not match the length byte",
                                   expert.group.MALFORMED, expert.severity.ERROR)
korva.experts = { bad_crc, bad_end, bad_length }

local messages = DissectorTable.new("korva.message", "Korva message", ftypes.UINT8, base.HEX, korva)

local function crc16(tvb, count)
    local crc = 0xFFFF
    for i = 0, count - 1 do
        crc = bit32.bxor(crc, bit32.lshift(tvb(i, 1):uint(), 8))
        for _ = 1, 8 do
            if bit32.btest(crc, 0x8000) then
                crc = bit32.band(bit32.bxor(bit32.lshift(crc, 1), 0x8005), 0xFFFF)
            else
                crc = bit32.band(bit32.lshift(crc, 1), 0xFFFF)
            end
        end
    end
    return crc
end

function korva.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "Korva"
    local root = tree:add(korva, tvb())
    if tvb:len() < OVERHEAD or tvb:len() ~= tvb(1, 1):uint() + OVERHEAD then
        root:add_proto_expert_info(bad_length)
        pinfo.cols.info = "Malformed frame"
        return
    end
    local body_len = tvb(1, 1):uint()
    root:add(fields.start, tvb(0, 1))
    root:add(fields.len, tvb(1, 1))
    root:add(fields.src, tvb(2, 1))
    root:add(fields.dst, tvb(2, 1))
    root:add(fields.msg_id, tvb(3, 1))
    root:add(fields.type, tvb(3, 1))
    if body_len > 0 then
        root:add(fields.payload, tvb(4, body_len))
    end
    local crc_at = 4 + body_len
    local crc_item = root:add(fields.crc, tvb(crc_at, 2))
    local good = crc16(tvb, crc_at) == tvb(crc_at, 2):uint()
    root:add(fields.crc_status, tvb(crc_at, 2), good and "good" or "bad")
    if not good then
        crc_item:add_proto_expert_info(bad_crc)
    end
    local end_item = root:add(fields.finish, tvb(crc_at + 2, 1))
    if tvb(crc_at + 2, 1):uint() ~= END then
        end_item:add_proto_expert_info(bad_end)
    end

    local address, id_type = tvb(2, 1):uint(), tvb(3, 1):uint()
    pinfo.cols.src = tostring(bit32.rshift(address, 4))
    pinfo.cols.dst = tostring(bit32.band(address, 0x0F))
    pinfo.cols.info = string.format("%s id %d, %d bytes%s", types[bit32.band(id_type, 0x03)],
                                    bit32.rshift(id_type, 2), body_len, good and "" or " [bad checksum]")
    messages:try(id_type, tvb(4, body_len):tvb(), pinfo, tree)
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, korva)
