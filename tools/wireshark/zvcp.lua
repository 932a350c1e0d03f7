-- Wireshark dissector for the Zavrin message protocol (ZVCP).
--
-- Load it with `wireshark -X lua_script:build/tools/wireshark/zvcp.lua` (the copy in
-- the build tree sits beside zvcp_codes.lua, the command-code names generated from
-- the library's own table). It dissects TCP port 4700 (preference zvcp.port) and,
-- heuristically, any other port; it reassembles messages across segments and splits
-- several messages in one segment. Encrypted messages are decrypted with the keys of
-- a session key log (zvcp --key-log FILE, or ZVCP_KEYLOG_FILE; preference
-- zvcp.keylog_file) through the openssl command, and their CRC-32 prefix is checked;
-- messages of the authenticated cipher (id 4, AES-256-GCM, docs/authenticated.md)
-- are decrypted with the direction keys derived from the log's key and IV, and
-- their tag is checked.

local zvcp = Proto("zvcp", "Zavrin message protocol")

-- ---- Tables ----

local script_dir = (debug.getinfo(1, "S").source:match("^@(.*/)") or "./")
local ok, codes = pcall(dofile, script_dir .. "zvcp_codes.lua")
if not ok or type(codes) ~= "table" then codes = {} end
codes[131] = codes[131] or "CMD_ENCRYPTED_MESSAGE"

local type_names = {
  [0] = "int32", [1] = "string", [2] = "int64", [3] = "int16", [4] = "binary", [5] = "float",
}
local cipher_names = {
  [0] = "AES-256", [1] = "Blowfish", [2] = "IDEA", [3] = "Triple DES", [4] = "AES-256-GCM",
}
local CIPHER_AES_256_GCM = 4
-- openssl enc names, key and IV lengths; Blowfish is keyed with the first 16 bytes.
local ciphers = {
  [0] = { name = "aes-256-cbc", key = 32, iv = 16, legacy = false },
  [1] = { name = "bf-cbc", key = 16, iv = 8, legacy = true },
  [2] = { name = "idea-cbc", key = 16, iv = 8, legacy = true },
  [3] = { name = "des-ede3-cbc", key = 24, iv = 8, legacy = false },
}

local MSG_FLAG_RAW, MSG_FLAG_END_OF_FILE, MSG_FLAG_HEADER_ONLY = 0x0001, 0x0002, 0x0020
local CMD_ENCRYPTED_MESSAGE, CMD_ZVCP_CAPS = 131, 183

-- ---- Fields ----

local f = zvcp.fields
f.code = ProtoField.uint16("zvcp.code", "Code", base.DEC, codes)
f.flags = ProtoField.uint16("zvcp.flags", "Flags", base.HEX)
f.flag_raw = ProtoField.bool("zvcp.flags.raw", "Raw", 16, nil, 0x0001)
f.flag_eof = ProtoField.bool("zvcp.flags.end_of_file", "End of file", 16, nil, 0x0002)
f.flag_noenc = ProtoField.bool("zvcp.flags.no_encryption", "No encryption", 16, nil, 0x0004)
f.flag_eos = ProtoField.bool("zvcp.flags.end_of_sequence", "End of sequence", 16, nil, 0x0008)
f.flag_rev = ProtoField.bool("zvcp.flags.reverse_order", "Reverse order", 16, nil, 0x0010)
f.flag_hdr = ProtoField.bool("zvcp.flags.header_only", "Header only", 16, nil, 0x0020)
f.size = ProtoField.uint32("zvcp.size", "Size", base.DEC)
f.id = ProtoField.uint32("zvcp.id", "Id", base.DEC)
f.numvars = ProtoField.uint32("zvcp.num_variables", "Variables", base.DEC)
f.datalen = ProtoField.uint32("zvcp.data_length", "Data length", base.DEC)
f.value = ProtoField.uint32("zvcp.header_value", "Header value", base.HEX)
f.version = ProtoField.uint8("zvcp.caps.version", "Protocol version", base.DEC)
f.var = ProtoField.none("zvcp.var", "Variable")
f.var_id = ProtoField.uint32("zvcp.var.id", "Id", base.DEC)
f.var_type = ProtoField.uint8("zvcp.var.type", "Type", base.DEC, type_names)
f.var_int16 = ProtoField.uint16("zvcp.var.int16", "Value", base.DEC)
f.var_int32 = ProtoField.uint32("zvcp.var.int32", "Value", base.DEC)
f.var_int64 = ProtoField.uint64("zvcp.var.int64", "Value", base.DEC)
f.var_float = ProtoField.double("zvcp.var.float", "Value")
f.var_length = ProtoField.uint32("zvcp.var.length", "Length", base.DEC)
f.var_string = ProtoField.string("zvcp.var.string", "Value", base.UNICODE)
f.var_binary = ProtoField.bytes("zvcp.var.binary", "Value")
f.raw_data = ProtoField.bytes("zvcp.raw_data", "Data")
f.enc_padding = ProtoField.uint8("zvcp.encrypted.padding", "Padding", base.DEC)
f.enc_data = ProtoField.bytes("zvcp.encrypted.data", "Encrypted data")
f.enc_cipher = ProtoField.string("zvcp.encrypted.cipher", "Cipher")
f.enc_crc = ProtoField.uint32("zvcp.encrypted.crc", "CRC-32", base.HEX)
f.enc_crc_ok = ProtoField.bool("zvcp.encrypted.crc_ok", "CRC-32 correct")
f.decrypted = ProtoField.none("zvcp.decrypted", "Decrypted message")
f.enc_sequence = ProtoField.uint64("zvcp.encrypted.sequence", "Sequence number", base.DEC)
f.enc_tag = ProtoField.bytes("zvcp.encrypted.tag", "Tag")
f.enc_tag_ok = ProtoField.bool("zvcp.encrypted.tag_ok", "Tag verified")

local e_malformed = ProtoExpert.new("zvcp.malformed", "Malformed ZVCP message", expert.group.MALFORMED,
  expert.severity.ERROR)
local e_nokey = ProtoExpert.new("zvcp.no_key", "No session key for this connection",
  expert.group.DECRYPTION, expert.severity.NOTE)
local e_decrypt = ProtoExpert.new("zvcp.decryption_failed", "Decryption failed",
  expert.group.DECRYPTION, expert.severity.WARN)
local e_crc = ProtoExpert.new("zvcp.bad_crc", "Wrong CRC-32 prefix", expert.group.CHECKSUM,
  expert.severity.ERROR)
local e_tag = ProtoExpert.new("zvcp.bad_tag", "Authentication tag does not verify: altered, cut or foreign",
  expert.group.CHECKSUM, expert.severity.ERROR)
zvcp.experts = { e_malformed, e_nokey, e_decrypt, e_crc, e_tag }

zvcp.prefs.port = Pref.uint("TCP port", 4700, "The TCP port of ZVCP")
zvcp.prefs.version = Pref.uint("Protocol version", 2,
  "The version assumed until a capability answer is seen on the stream (1 or 2)")
zvcp.prefs.keylog_file = Pref.string("Session key log", os.getenv("ZVCP_KEYLOG_FILE") or "",
  "A file of ZVCP_SESSION lines written by zvcp --key-log")
zvcp.prefs.max_size = Pref.uint("Largest message", 16 * 1024 * 1024,
  "A size field above this is taken as malformed")

local tcp_stream = Field.new("tcp.stream")

-- ---- Per-connection state ----

local stream_versions = {}  -- tcp.stream -> protocol version seen in the capability answer
local keys = nil            -- "ip:port ip:port" -> { cipher, key, iv }, both directions
local keys_loaded_from = nil

local function unhex(h)
  return (h:gsub("..", function(c) return string.char(tonumber(c, 16)) end))
end

local function load_keys()
  local path = zvcp.prefs.keylog_file
  if keys ~= nil and keys_loaded_from == path then return end
  keys, keys_loaded_from = {}, path
  if path == nil or path == "" then return end
  local file = io.open(path, "r")
  if file == nil then return end
  for line in file:lines() do
    local client, server, cipher, key, iv =
      line:match("^ZVCP_SESSION (%S+) (%S+) (%d+) (%x+) (%x+)")
    if client ~= nil then
      local entry = { cipher = tonumber(cipher), key = key, iv = iv, client = client }
      keys[client .. " " .. server] = entry
      keys[server .. " " .. client] = entry
    end
  end
  file:close()
end

-- An endpoint as the key log writes it: an IPv6 address in brackets.
local function endpoint(address, port)
  local text = tostring(address)
  if text:find(":", 1, true) then text = "[" .. text .. "]" end
  return text .. ":" .. port
end

local function session_key(pinfo)
  load_keys()
  return keys[endpoint(pinfo.src, pinfo.src_port) .. " " .. endpoint(pinfo.dst, pinfo.dst_port)]
end

local function stream_version(pinfo)
  local s = tcp_stream()
  return (s and stream_versions[s.value]) or zvcp.prefs.version
end

-- ---- CRC-32 (the reflected polynomial 0xEDB88320, as zlib computes it) ----

local crc_table = {}
for i = 0, 255 do
  local c = i
  for _ = 1, 8 do
    if bit32.band(c, 1) ~= 0 then c = bit32.bxor(0xEDB88320, bit32.rshift(c, 1))
    else c = bit32.rshift(c, 1) end
  end
  crc_table[i] = c
end

local function crc32(s, first, last)
  local c = 0xFFFFFFFF
  for i = first, last do
    c = bit32.bxor(crc_table[bit32.band(bit32.bxor(c, s:byte(i)), 0xFF)], bit32.rshift(c, 8))
  end
  return bit32.bxor(c, 0xFFFFFFFF)
end

-- ---- Decryption through the openssl command ----

local function decrypt(entry, data)
  local c = ciphers[entry.cipher]
  if c == nil or #entry.key < 2 * c.key or #entry.iv < 2 * c.iv then return nil end
  local input = os.tmpname()
  local out = io.open(input, "wb")
  if out == nil then return nil end
  out:write(data)
  out:close()
  local command = string.format(
    "openssl enc -d -%s %s-K %s -iv %s -nopad -in %s 2>/dev/null", c.name,
    c.legacy and "-provider legacy -provider default " or "", entry.key:sub(1, 2 * c.key),
    entry.iv:sub(1, 2 * c.iv), input)
  local pipe = io.popen(command, "r")
  local plain = pipe and pipe:read("*a") or nil
  if pipe then pipe:close() end
  os.remove(input)
  if plain == nil or #plain ~= #data then return nil end
  return plain
end

-- ---- The authenticated cipher: AES-256-GCM, CTR through the openssl command ----

local function run_openssl(args, data)
  local input = os.tmpname()
  local out = io.open(input, "wb")
  if out == nil then return nil end
  out:write(data)
  out:close()
  local pipe = io.popen("openssl " .. args .. " -in " .. input .. " 2>/dev/null", "r")
  local result = pipe and pipe:read("*a") or nil
  if pipe then pipe:close() end
  os.remove(input)
  return result
end

local function tohex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

-- Four 32-bit words of the 16 bytes of s at index i (missing bytes are 0).
local function words(s, i)
  local w = {}
  for k = 0, 3 do
    local b1, b2, b3, b4 = s:byte(i + 4 * k, i + 4 * k + 3)
    w[k + 1] = bit32.bor(bit32.lshift(b1 or 0, 24), bit32.lshift(b2 or 0, 16),
      bit32.lshift(b3 or 0, 8), b4 or 0)
  end
  return w
end

-- H times x^i for every i, GCM's bit order (bit 0 the top bit of the first byte):
-- multiplying by x is a right shift, with the reduction 0xE1 on a bit shifted out.
local function ghash_table(h)
  local v, t = words(h, 1), {}
  for i = 0, 127 do
    t[i] = { v[1], v[2], v[3], v[4] }
    local carry = bit32.band(v[4], 1)
    v[4] = bit32.bor(bit32.rshift(v[4], 1), bit32.lshift(bit32.band(v[3], 1), 31))
    v[3] = bit32.bor(bit32.rshift(v[3], 1), bit32.lshift(bit32.band(v[2], 1), 31))
    v[2] = bit32.bor(bit32.rshift(v[2], 1), bit32.lshift(bit32.band(v[1], 1), 31))
    v[1] = bit32.rshift(v[1], 1)
    if carry == 1 then v[1] = bit32.bxor(v[1], 0xE1000000) end
  end
  return t
end

-- GHASH of data (a whole number of 16-byte blocks) as 16 bytes.
local function ghash(t, data)
  local y = { 0, 0, 0, 0 }
  for i = 1, #data, 16 do
    local x = words(data, i)
    for k = 1, 4 do x[k] = bit32.bxor(x[k], y[k]) end
    y = { 0, 0, 0, 0 }
    for k = 0, 3 do
      local w = x[k + 1]
      for j = 0, 31 do
        if w == 0 then break end
        if bit32.btest(w, 0x80000000) then
          local e = t[k * 32 + j]
          y[1], y[2] = bit32.bxor(y[1], e[1]), bit32.bxor(y[2], e[2])
          y[3], y[4] = bit32.bxor(y[3], e[3]), bit32.bxor(y[4], e[4])
        end
        w = bit32.band(bit32.lshift(w, 1), 0xFFFFFFFF)
      end
    end
  end
  local out = {}
  for k = 1, 4 do
    out[#out + 1] = string.char(bit32.extract(y[k], 24, 8), bit32.extract(y[k], 16, 8),
      bit32.extract(y[k], 8, 8), bit32.extract(y[k], 0, 8))
  end
  return table.concat(out)
end

local function be64(n)
  local bytes = {}
  for i = 7, 0, -1 do bytes[#bytes + 1] = math.floor(n / 2 ^ (8 * i)) % 256 end
  return string.char(table.unpack(bytes))
end

-- The key, nonce base and GHASH table of one direction of a session, derived once.
local function direction_keys(entry, from_requester)
  local label = from_requester and "requester to responder" or "responder to requester"
  entry.directions = entry.directions or {}
  local d = entry.directions[label]
  if d ~= nil then return d or nil end
  entry.directions[label] = false
  local pipe = io.popen(string.format(
    "openssl kdf -keylen 44 -kdfopt digest:SHA256 -kdfopt hexkey:%s -kdfopt hexsalt:%s " ..
    "-kdfopt 'info:ZVCP AES-256-GCM %s' HKDF 2>/dev/null", entry.key, entry.iv, label), "r")
  local text = pipe and pipe:read("*a") or ""
  if pipe then pipe:close() end
  local okm = text:gsub("[^%x]", "")
  if #okm ~= 88 then return nil end
  local key, nonce = okm:sub(1, 64), unhex(okm:sub(65, 88))
  local h = run_openssl("enc -aes-256-ecb -nopad -K " .. key, string.rep("\0", 16))
  if h == nil or #h ~= 16 then return nil end
  d = { key = key, nonce = nonce, table = ghash_table(h) }
  entry.directions[label] = d
  return d
end

-- The plain message and whether the tag verifies; nil when it cannot be decrypted.
local function open_authenticated(d, header, sequence, ciphertext, tag)
  local nonce = {}
  for i = 1, 12 do
    local b = d.nonce:byte(i)
    if i > 4 then b = bit32.bxor(b, sequence:byte(i - 4)) end
    nonce[i] = string.char(b)
  end
  local j0 = table.concat(nonce) .. "\0\0\0\1"
  -- CTR from J0: the first block gives E(J0) for the tag, the rest the plaintext.
  local out = run_openssl("enc -aes-256-ctr -nopad -K " .. d.key .. " -iv " .. tohex(j0),
    string.rep("\0", 16) .. ciphertext)
  if out == nil or #out ~= 16 + #ciphertext then return nil end
  local data = header .. ciphertext .. string.rep("\0", (16 - #ciphertext % 16) % 16) ..
    be64(#header * 8) .. be64(#ciphertext * 8)
  local s = ghash(d.table, data)
  local expected = {}
  for i = 1, 16 do expected[i] = string.char(bit32.bxor(s:byte(i), out:byte(i))) end
  return out:sub(17), table.concat(expected) == tag
end

-- ---- Messages ----

local function pad8(n)
  return (8 - n % 8) % 8
end

local dissect_message

-- The variables of an ordinary message; false when they run past the message.
local function dissect_variables(tvb, tree, count, size, version)
  local offset = 16
  for i = 1, count do
    if offset + 8 > size then return false end
    local vtype = tvb(offset + 4, 1):uint()
    local length
    if vtype == 0 then length = 12
    elseif vtype == 2 or vtype == 5 then length = 16
    elseif vtype == 1 or vtype == 4 then
      if offset + 12 > size then return false end
      length = 12 + tvb(offset + 8, 4):uint()
    else length = 8 end
    if offset + length > size then return false end
    local vt = tree:add(f.var, tvb(offset, length))
    local vid = tvb(offset, 4):uint()
    vt:add(f.var_id, tvb(offset, 4))
    vt:add(f.var_type, tvb(offset + 4, 1))
    local shown
    if vtype == 0 then
      vt:add(f.var_int32, tvb(offset + 8, 4)); shown = tvb(offset + 8, 4):uint()
    elseif vtype == 2 then
      vt:add(f.var_int64, tvb(offset + 8, 8)); shown = tostring(tvb(offset + 8, 8):uint64())
    elseif vtype == 3 then
      vt:add(f.var_int16, tvb(offset + 6, 2)); shown = tvb(offset + 6, 2):uint()
    elseif vtype == 5 then
      vt:add(f.var_float, tvb(offset + 8, 8)); shown = tvb(offset + 8, 8):float()
    elseif vtype == 1 then
      vt:add(f.var_length, tvb(offset + 8, 4))
      if length > 12 then
        local units = math.floor((length - 12) / 2)
        if units > 0 then
          vt:add(f.var_string, tvb(offset + 12, units * 2), tvb(offset + 12, units * 2):ustring())
          shown = '"' .. tvb(offset + 12, units * 2):ustring() .. '"'
        end
      end
      shown = shown or '""'
    elseif vtype == 4 then
      vt:add(f.var_length, tvb(offset + 8, 4))
      if length > 12 then vt:add(f.var_binary, tvb(offset + 12, length - 12)) end
      shown = (length - 12) .. " bytes"
    else
      shown = "type " .. vtype .. ", no value"
    end
    vt:set_text(string.format("Variable %u (%s): %s", vid, type_names[vtype] or "unknown", tostring(shown)))
    offset = offset + length
    if version >= 2 then offset = offset + pad8(length) end
  end
  return true
end

-- One whole message at the start of tvb, as its size field says.
dissect_message = function(tvb, pinfo, tree, depth)
  local size = tvb(4, 4):uint()
  local code = tvb(0, 2):uint()
  local mt = tree:add(zvcp, tvb(0, size))
  mt:add(f.code, tvb(0, 2))
  local name = codes[code] or ("CMD_UNKNOWN(" .. code .. ")")
  mt:append_text(": " .. name)
  pinfo.cols.info:append((depth > 0 and " [" or " ") .. name .. (depth > 0 and "]" or ""))

  if code == CMD_ENCRYPTED_MESSAGE then
    mt:add(f.enc_padding, tvb(2, 1))
    mt:add(f.size, tvb(4, 4))
    local padding = tvb(2, 1):uint()
    local entry = session_key(pinfo)
    if entry ~= nil and entry.cipher == CIPHER_AES_256_GCM and depth == 0 then
      mt:add(f.enc_cipher, cipher_names[entry.cipher])
      if size < 48 or padding > 7 or padding > size - 48 then
        mt:add_proto_expert_info(e_malformed, "Too short for an authenticated message")
        return
      end
      local n = size - 32 - padding
      mt:add(f.enc_sequence, tvb(8, 8))
      mt:add(f.enc_data, tvb(16, n))
      mt:add(f.enc_tag, tvb(16 + n, 16))
      local from_requester = entry.client == endpoint(pinfo.src, pinfo.src_port)
      local d = direction_keys(entry, from_requester)
      local plain, good
      if d ~= nil then
        plain, good = open_authenticated(d, tvb(0, 16):raw(), tvb(8, 8):raw(), tvb(16, n):raw(),
          tvb(16 + n, 16):raw())
      end
      if plain == nil then
        mt:add_proto_expert_info(e_decrypt)
        return
      end
      mt:add(f.enc_tag_ok, good)
      if not good then
        mt:add_proto_expert_info(e_tag)
        return
      end
      local inner = ByteArray.new(plain, true):tvb("Decrypted ZVCP")
      local dt = mt:add(f.decrypted, inner())
      dissect_message(inner, pinfo, dt, depth + 1)
      return
    end
    if size < 8 + padding or (size - 8 - padding) % 8 ~= 0 or depth > 0 then
      mt:add_proto_expert_info(e_malformed, "Encrypted data is not whole cipher blocks")
      return
    end
    local encrypted = tvb(8, size - 8 - padding)
    mt:add(f.enc_data, encrypted)
    if entry == nil then
      mt:add_proto_expert_info(e_nokey)
      return
    end
    mt:add(f.enc_cipher, cipher_names[entry.cipher] or tostring(entry.cipher))
    local plain = decrypt(entry, encrypted:raw())
    if plain == nil or #plain < 8 + 16 then
      mt:add_proto_expert_info(e_decrypt)
      return
    end
    local inner = ByteArray.new(plain, true):tvb("Decrypted ZVCP")
    local m = inner(8 + 4, 4):uint()
    if m < 16 or 8 + m > inner:len() then
      mt:add_proto_expert_info(e_decrypt, "Decrypted size does not fit")
      return
    end
    mt:add(f.enc_crc, inner(0, 4))
    local good = crc32(plain, 9, 8 + m) == inner(0, 4):uint()
    mt:add(f.enc_crc_ok, good)
    if not good then mt:add_proto_expert_info(e_crc) end
    local dt = mt:add(f.decrypted, inner(8, m))
    dissect_message(inner(8, m):tvb(), pinfo, dt, depth + 1)
    return
  end

  local flags = tvb(2, 2):uint()
  local ft = mt:add(f.flags, tvb(2, 2))
  ft:add(f.flag_raw, tvb(2, 2)); ft:add(f.flag_eof, tvb(2, 2)); ft:add(f.flag_noenc, tvb(2, 2))
  ft:add(f.flag_eos, tvb(2, 2)); ft:add(f.flag_rev, tvb(2, 2)); ft:add(f.flag_hdr, tvb(2, 2))
  mt:add(f.size, tvb(4, 4))
  mt:add(f.id, tvb(8, 4))
  local fourth = tvb(12, 4):uint()
  if bit32.band(flags, MSG_FLAG_HEADER_ONLY) ~= 0 then
    mt:add(f.value, tvb(12, 4))
    if code == CMD_ZVCP_CAPS then
      local version = bit32.rshift(fourth, 24)
      mt:add(f.version, tvb(12, 1))
      local s = tcp_stream()
      if s ~= nil and not pinfo.visited then stream_versions[s.value] = version end
    end
    if size ~= 16 then mt:add_proto_expert_info(e_malformed, "A header-only message has a body") end
  elseif bit32.band(flags, MSG_FLAG_RAW) ~= 0 then
    mt:add(f.datalen, tvb(12, 4))
    if fourth > size - 16 then
      mt:add_proto_expert_info(e_malformed, "Raw data runs past the message")
    elseif fourth > 0 then
      mt:add(f.raw_data, tvb(16, fourth))
    end
  else
    mt:add(f.numvars, tvb(12, 4))
    if not dissect_variables(tvb, mt, fourth, size, stream_version(pinfo)) then
      mt:add_proto_expert_info(e_malformed, "Variables run past the message")
    end
  end
end

-- ---- Framing ----

local function plausible_header(tvb, offset)
  if tvb:len() - offset < 8 then return false end
  local code = tvb(offset, 2):uint()
  local size = tvb(offset + 4, 4):uint()
  if size < 16 or size > zvcp.prefs.max_size or size % 8 ~= 0 then return false end
  if code == CMD_ENCRYPTED_MESSAGE then return tvb(offset + 3, 1):uint() == 0 end
  return codes[code] ~= nil and tvb(offset + 2, 2):uint() < 0x0040
end

local function message_length(tvb, pinfo, offset)
  local size = tvb(offset + 4, 4):uint()
  if size < 16 or size > zvcp.prefs.max_size then
    -- Out of step: the rest of the segment is taken as one malformed piece.
    return tvb:len() - offset
  end
  return size
end

local function dissect_pdu(tvb, pinfo, tree)
  pinfo.cols.protocol = "ZVCP"
  local size = tvb(4, 4):uint()
  if size < 16 or size > zvcp.prefs.max_size or size > tvb:len() then
    local t = tree:add(zvcp, tvb())
    t:add_proto_expert_info(e_malformed, "Not a ZVCP message (size field " .. size .. ")")
    pinfo.cols.info:append(" [Malformed]")
    return tvb:len()
  end
  local ok, err = pcall(dissect_message, tvb, pinfo, tree, 0)
  if not ok then
    local t = tree:add(zvcp, tvb())
    t:add_proto_expert_info(e_malformed, "Malformed: " .. tostring(err))
  end
  return tvb:len()
end

function zvcp.dissector(tvb, pinfo, tree)
  pinfo.cols.info:clear()
  dissect_tcp_pdus(tvb, tree, 8, message_length, dissect_pdu, true)
  return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
  if not plausible_header(tvb, 0) then return false end
  pinfo.conversation = zvcp
  zvcp.dissector(tvb, pinfo, tree)
  return true
end

local registered_port = nil
local function register_port()
  local tcp = DissectorTable.get("tcp.port")
  if registered_port ~= nil then tcp:remove(registered_port, zvcp) end
  registered_port = zvcp.prefs.port
  tcp:add(registered_port, zvcp)
end

function zvcp.prefs_changed()
  keys = nil  -- read the key log again
  register_port()
end

register_port()
zvcp:register_heuristic("tcp", heuristic)
