-- The part of every generated schema dissector that is the same for all
-- schemas: it declares the fields SCHEMA describes and decodes bodies by
-- the rules of korva.schema's codec. A body the codec refuses shows no
-- field values, only the reason on the bytes at fault, so a display filter
-- on a field selects exactly the bodies that decode.

local proto = Proto(SCHEMA.name, string.format("Korva messages of the %s schema, revision %d (fingerprint %s)",
                                               SCHEMA.name, SCHEMA.revision, SCHEMA.fingerprint))

local INTEGER_FIELDS = {
    u8 = ProtoField.uint8, i8 = ProtoField.int8, u16 = ProtoField.uint16, i16 = ProtoField.int16,
    u32 = ProtoField.uint32, i32 = ProtoField.int32, u64 = ProtoField.uint64, i64 = ProtoField.int64,
}
local READ = {
    u8 = function(range) return range:le_uint() end,
    u16 = function(range) return range:le_uint() end,
    u32 = function(range) return range:le_uint() end,
    u64 = function(range) return range:le_uint64() end,
    i8 = function(range) return range:le_int() end,
    i16 = function(range) return range:le_int() end,
    i32 = function(range) return range:le_int() end,
    i64 = function(range) return range:le_int64() end,
    f32 = function(range) return range:le_float() end,
    f64 = function(range) return range:le_float() end,
    bool = function(range) return range:uint() end,
}
-- 64-bit values do not fit a Lua number; the schema gives them as text.
local WIDE = { u64 = UInt64, i64 = Int64 }
local BIT_WIDTH = { u8 = 8, u16 = 16, u32 = 32, u64 = 64 }

local fields = proto.fields
fields.message = ProtoField.string(SCHEMA.name .. ".message", "Message")
fields.extra = ProtoField.bytes(SCHEMA.name .. ".extra.bytes", "Extra bytes")

local function expert_info(status, summary, severity, group)
    return ProtoExpert.new(SCHEMA.name .. "." .. status, summary, group or expert.group.MALFORMED,
                           severity or expert.severity.ERROR)
end
-- Keyed by the codec's status words.
local experts = {
    short = expert_info("short", "Body shorter than the message's first revision"),
    partial = expert_info("partial", "Body ends inside a field"),
    bad_bool = expert_info("bad_bool", "Bool byte neither 0 nor 1"),
    too_long = expert_info("too_long", "Variable field longer than its max"),
    bad_text = expert_info("bad_text", "Text not UTF-8 or holding a NUL"),
    extra = expert_info("extra", "Bytes beyond the known fields", expert.severity.NOTE, expert.group.UNDECODED),
}
proto.experts = {}
for _, info in pairs(experts) do
    table.insert(proto.experts, info)
end

-- Field declarations ---------------------------------------------------------

local function declare_bits(field, abbr)
    for _, bit in ipairs(field.bits) do
        local name = abbr .. "." .. bit.name
        if bit.mask == nil then
            -- Lua fields take 32-bit masks only: a 64-bit field's bits are
            -- computed and shown as plain values.
            bit.field = INTEGER_FIELDS[field.type](name, bit.name, base.DEC, SCHEMA.enums[bit.enum], nil, bit.doc)
        elseif bit.width == 1 and bit.enum == nil then
            bit.field = ProtoField.bool(name, bit.name, BIT_WIDTH[field.type], nil, bit.mask, bit.doc)
        else
            bit.field = INTEGER_FIELDS[field.type](name, bit.name, base.DEC, SCHEMA.enums[bit.enum], bit.mask,
                                                   bit.doc)
        end
        fields[name] = bit.field
    end
    return INTEGER_FIELDS[field.type](abbr, field.name, base.HEX, nil, nil, field.doc)
end

local function declare_value(field, abbr)
    if field.bits then
        return declare_bits(field, abbr)
    elseif field.type == "string" then
        return ProtoField.string(abbr, field.name, base.UNICODE, field.doc)
    elseif field.type == "bytes" then
        return ProtoField.bytes(abbr, field.name, base.NONE, field.doc)
    elseif field.type == "bool" then
        return ProtoField.bool(abbr, field.name, base.NONE, nil, nil, field.doc)
    elseif field.type == "f32" then
        return ProtoField.float(abbr, field.name, nil, field.doc)
    elseif field.type == "f64" or field.physical then
        return ProtoField.double(abbr, field.name, nil, field.doc)
    end
    return INTEGER_FIELDS[field.type](abbr, field.name, base.DEC, SCHEMA.enums[field.enum], nil, field.doc)
end

local function declare(message, field)
    local abbr = SCHEMA.name .. "." .. message.name .. "." .. field.name
    field.path = message.name .. "." .. field.name
    field.value = declare_value(field, abbr)
    fields[abbr] = field.value
    if field.physical or field.invalid ~= nil then
        -- The raw value beside the physical one; alone when it is the sentinel.
        field.raw = INTEGER_FIELDS[field.type](abbr .. ".raw", field.name .. " (raw)", base.DEC)
        fields[abbr .. ".raw"] = field.raw
    end
    local wide = WIDE[field.type]
    if wide then
        field.default = wide(field.default)
        field.invalid = field.invalid and wide(field.invalid)
    end
end

for _, message in ipairs(SCHEMA.messages) do
    for _, field in ipairs(message.fields) do
        declare(message, field)
    end
end

-- Checks: what the codec refuses ----------------------------------------------

local function bytes_text(count)
    return count == 1 and "1 byte" or string.format("%d bytes", count)
end

-- Whether `text` is UTF-8 as Python reads it: shortest forms only, no
-- surrogates, nothing above U+10FFFF.
local function is_utf8(text)
    local at, length = 1, #text
    while at <= length do
        local lead, follow, low, high = text:byte(at), 0, 0x80, 0xBF
        if lead >= 0xC2 and lead <= 0xDF then
            follow = 1
        elseif lead >= 0xE0 and lead <= 0xEF then
            follow = 2
            low = lead == 0xE0 and 0xA0 or 0x80
            high = lead == 0xED and 0x9F or 0xBF
        elseif lead >= 0xF0 and lead <= 0xF4 then
            follow = 3
            low = lead == 0xF0 and 0x90 or 0x80
            high = lead == 0xF4 and 0x8F or 0xBF
        elseif lead >= 0x80 then
            return false
        end
        if at + follow > length then
            return false
        end
        for index = 1, follow do
            local byte = text:byte(at + index)
            if byte < (index == 1 and low or 0x80) or byte > (index == 1 and high or 0xBF) then
                return false
            end
        end
        at = at + follow + 1
    end
    return true
end

local function total_size(field)
    return field.size * (field.count or 1)
end

local function length_fault(message, body)
    local length = body:len()
    if length < message.min_size then
        return "short", string.format("%s: %s, fewer than the %d it always has", message.name, bytes_text(length),
                                      message.min_size), body()
    end
    if length >= message.fixed_size then
        return nil
    end
    for _, field in ipairs(message.fields) do
        if field.offset == length then
            return nil -- the appended fields from here on are absent
        end
        if field.offset + total_size(field) > length then
            return "partial", string.format("%s: the body ends inside it, after %s", field.path,
                                            bytes_text(length)), body(field.offset)
        end
    end
end

local function bool_fault(field, body)
    for index = 0, (field.count or 1) - 1 do
        local range = body(field.offset + index, 1)
        if range:uint() > 1 then
            return "bad_bool", string.format("%s: bool byte %d is neither 0 nor 1", field.path, range:uint()), range
        end
    end
end

local function variable_fault(field, body)
    local tail = body:len() - field.offset
    if tail == 0 then
        return nil
    end
    local range = body(field.offset)
    if tail > field.max then
        return "too_long", string.format("%s: %d bytes, more than its max %d", field.path, tail, field.max), range
    end
    if field.type == "string" then
        local text = range:raw()
        if text:find("\0", 1, true) then
            return "bad_text", field.path .. ": the text holds a NUL byte", range
        end
        if not is_utf8(text) then
            return "bad_text", field.path .. ": not UTF-8", range
        end
    end
end

-- The first fault in wire order, as the codec finds it: status, text, range.
local function fault(message, body)
    local status, text, range = length_fault(message, body)
    if status then
        return status, text, range
    end
    for _, field in ipairs(message.fields) do
        if field.offset >= body:len() then
            break -- absent from here on
        end
        if field.type == "bool" then
            status, text, range = bool_fault(field, body)
        elseif field.variable then
            status, text, range = variable_fault(field, body)
        end
        if status then
            return status, text, range
        end
    end
end

-- Showing values ----------------------------------------------------------------

-- Adds `field` to `tree` with `value`, over `range` when the body holds
-- the field (an absent appended field has no bytes, only its default).
local function add(tree, field, range, value)
    if range then
        return tree:add_le(field, range, value)
    end
    return tree:add(field, value)
end

local function show_bits(tree, field, range, raw)
    local item = add(tree, field.value, range, raw)
    for _, bit in ipairs(field.bits) do
        if bit.mask then
            add(item, bit.field, range, raw)
        else
            local part = raw:rshift(bit.shift):band(UInt64.max():rshift(64 - bit.width))
            add(item, bit.field, range, part)
        end
    end
    return item
end

-- A scaled field's physical value, or a field with an invalid sentinel,
-- with the raw value beside it.
local function show_scaled(tree, field, range, raw)
    local item
    if field.physical then
        local number = type(raw) == "number" and raw or raw:tonumber()
        local physical = field.physical
        item = add(tree, field.value, range, (number * physical.factor + physical.shift) / physical.divisor)
    else
        item = add(tree, field.value, range, raw)
    end
    add(item, field.raw, range, raw)
    return item
end

local function show_element(tree, field, range, raw)
    local item
    local invalid = field.invalid ~= nil and raw == field.invalid
    if field.bits then
        item = show_bits(tree, field, range, raw)
    elseif invalid then
        item = add(tree, field.raw, range, raw)
        item:set_text(string.format("%s: invalid (raw %s)", field.name, tostring(raw)))
    elseif field.raw then
        item = show_scaled(tree, field, range, raw)
    elseif field.type == "bool" then
        item = add(tree, field.value, range, raw == 1 or raw == true)
    else
        item = add(tree, field.value, range, raw)
    end
    if field.unit and not invalid then
        item:append_text(" " .. field.unit)
    end
    if not range then
        item:set_generated()
        item:append_text(" (absent: default)")
    end
end

local function show_fixed(tree, field, body)
    local present = field.offset + total_size(field) <= body:len()
    local function element(parent, offset)
        local range = present and body(offset, field.size) or nil
        show_element(parent, field, range, range and READ[field.type](range) or field.default)
    end
    if field.count == nil then
        element(tree, field.offset)
        return
    end
    local array = present and tree:add(body(field.offset, total_size(field)), field.name) or tree:add(field.name)
    array:append_text(string.format(" [%d]", field.count))
    for index = 0, field.count - 1 do
        element(array, field.offset + index * field.size)
    end
end

local function show_variable(tree, field, body)
    local tail = body:len() - field.offset
    if tail <= 0 then
        if field.type == "string" then
            tree:add(field.value, "")
        else
            tree:add(field.name .. ": empty")
        end
        return
    end
    local range = body(field.offset)
    if field.type == "string" then
        tree:add(field.value, range, range:string(ENC_UTF_8))
    else
        tree:add(field.value, range)
    end
end

local function show_fields(tree, message, body)
    for _, field in ipairs(message.fields) do
        if field.variable then
            show_variable(tree, field, body)
        else
            show_fixed(tree, field, body)
        end
    end
    local extra = body:len() - message.fixed_size
    if message.sealed or extra <= 0 then
        return 0
    end
    local item = tree:add(fields.extra, body(message.fixed_size))
    item:add_proto_expert_info(experts.extra, string.format("%s: %s beyond the known fields", message.name,
                                                            bytes_text(extra)))
    return extra
end

local by_key = {}
for _, message in ipairs(SCHEMA.messages) do
    by_key[message.key] = message
end

function proto.dissector(body, pinfo, tree)
    local message = by_key[pinfo.match_uint]
    if message == nil then
        return 0
    end
    local root = tree:add(proto, body(), string.format("%s %s (%s, id %d)", SCHEMA.name, message.name,
                                                         message.type, message.id))
    root:add(fields.message, message.name):set_generated()
    local status, text, range = fault(message, body)
    if status then
        root:add(range, text):add_proto_expert_info(experts[status], text)
        pinfo.cols.info:append(string.format(": %s [%s]", message.name, status))
    else
        local extra = show_fields(root, message, body)
        pinfo.cols.info:append(": " .. message.name .. (extra > 0 and " [extra]" or ""))
    end
    return body:len()
end

-- Registered once korva.lua has made the table, whichever script loaded
-- first: every script is loaded before any init runs.
function proto.init()
    local messages = DissectorTable.get("korva.message")
    if messages == nil then
        error(SCHEMA.name .. ": load korva.lua as well; its message table carries the bodies")
    end
    for key, _ in pairs(by_key) do
        messages:add(key, proto)
    end
end
