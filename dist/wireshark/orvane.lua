-- Wireshark dissector for the ipconf protocol (UDP port 4445) and the event
-- notifier (TCP port 4445): shows each message as its tree of TLV elements,
-- with element names and decoded values. The wire formats are described in
-- docs/protocol.md and docs/notifier.md.
--
-- Install: copy this file to ~/.local/lib/wireshark/plugins/ (or run
-- `wireshark -X lua_script:dist/wireshark/orvane.lua`). Display filters:
-- orvane.msg, orvane.code, orvane.puid, orvane.emsg, orvane.text, ...
--
-- Checked with tshark 4.0 on a capture written by sample_pcap.py (next to
-- this file) from messages built by the project's own builders:
--   python3 dist/wireshark/sample_pcap.py /tmp/orvane.pcap
--   tshark -r /tmp/orvane.pcap -X lua_script:dist/wireshark/orvane.lua -V -Y orvane

local orvane = Proto("orvane", "orvane ipconf and notifier")

local f_msg = ProtoField.string("orvane.msg", "Message")
local f_element = ProtoField.none("orvane.element", "Element")
local f_code = ProtoField.string("orvane.code", "Code")
local f_type = ProtoField.uint32("orvane.type", "Type", base.HEX)
local f_length = ProtoField.uint32("orvane.length", "Length", base.DEC)
local f_text = ProtoField.string("orvane.text", "Text")
local f_byte = ProtoField.uint8("orvane.byte", "Value", base.DEC)
local f_data = ProtoField.bytes("orvane.data", "Data")
local f_puid = ProtoField.string("orvane.puid", "PUID")
local f_emsg = ProtoField.string("orvane.emsg", "Error text")
orvane.fields = {f_msg, f_element, f_code, f_type, f_length, f_text, f_byte, f_data, f_puid, f_emsg}

local e_truncated = ProtoExpert.new("orvane.truncated", "Element runs beyond the data",
                                    expert.group.MALFORMED, expert.severity.ERROR)
local e_no_nul = ProtoExpert.new("orvane.no_nul", "Text does not end with its NUL byte",
                                 expert.group.MALFORMED, expert.severity.WARN)
local e_size = ProtoExpert.new("orvane.size", "Field size breaks its rule",
                               expert.group.MALFORMED, expert.severity.WARN)
local e_deep = ProtoExpert.new("orvane.deep", "Nested deeper than any real message",
                               expert.group.MALFORMED, expert.severity.WARN)
orvane.experts = {e_truncated, e_no_nul, e_size, e_deep}

local HEADER = 8
-- Real messages nest at most four deep (INFO, INTF, IPV4, field); deeper
-- containers are shown as data, well inside Wireshark's tree depth limit.
local MAX_DEPTH = 16

-- Four-character code of a type: zero bytes at the end are padding.
local function code_of(tvb, offset)
    local code = ""
    for i = 0, 3 do
        local b = tvb(offset + i, 1):uint()
        if b == 0 then break end
        if b >= 0x20 and b < 0x7F then
            code = code .. string.char(b)
        else
            code = code .. string.format("\\x%02x", b)
        end
    end
    return code
end

-- What each code means, per transport and per enclosing element.
-- kind: "c" container, "t" text, "b" byte, "r" raw bytes, "e" empty.
local ipconf = {
    LOOK = {"e", "discovery request"},
    INFO = {"c", "device information"},
    CONF = {"c", "configuration request"},
    OK = {"c", "configuration in force"},
    ERR = {"c", "ERROR"},
    CHRQ = {"c", "challenge request"},
    CHAL = {"c", "challenge"},
    INTF = {"c", "interface"},
    IPV4 = {"c", "IPv4 settings"},
    PUID = {"t", "device PUID", size = 18},
    STAT = {"b", "mode"},
    HNAM = {"t", "host name", max = 64},
    PNAM = {"t", "product name", max = 64},
    PRID = {"t", "product ID", max = 64},
    HWID = {"t", "hardware ID", max = 64},
    HWRV = {"t", "hardware revision", max = 32},
    SVER = {"t", "system version", max = 32},
    PROT = {"b", "protocol"},
    USER = {"t", "login", max = 256},
    PASS = {"r", "challenged password", size = 20},
    CHA = {"r", "challenge bytes"},
    ADDR = {"t", "configurator address", max = 46},
    EMSG = {"t", "error text"},
    MAC = {"t", "MAC address", size = 18},
    NAME = {"t", "interface name", max = 16},
    ROLE = {"b", "role"},
    MODE = {"b", "IPv4 method"},
    MASK = {"t", "netmask", max = 46},
    GWAY = {"t", "gateway", max = 46},
    BCST = {"t", "broadcast address", max = 46},
    DNS = {"t", "DNS server", max = 46},
    WINS = {"t", "WINS server", max = 46},
}

local notifier = {
    CHRQ = {"c", "challenge request"},
    CHAL = {"c", "challenge"},
    LOGN = {"c", "login"},
    OK = {"e", "login accepted"},
    ERR = {"t", "error"},
    PUID = {"t", "device PUID", size = 18},
    ADDR = {"t", "address", max = 46},
    CHA = {"r", "challenge bytes"},
    USER = {"t", "user", max = 256},
    PASS = {"r", "challenged password", size = 20},
    EVNT = {"c", "event"},
    INFO = {"c", "key and value"},
    MODL = {"t", "module"},
    ID = {"t", "event identifier"},
    TIME = {"t", "time"},
    KEY = {"t", "key"},
    VAL = {"t", "value"},
}

local device_modes = {[0] = "normal", [1] = "sleep", [2] = "rescue", [3] = "not-configurable"}
local link_states = {[0] = "down", [1] = "up"}
local ipv4_methods = {[0] = "static", [2] = "dynamic (DHCP)"}

local function describe(catalogue, code, parent)
    local entry = catalogue[code]
    if entry == nil then return nil end
    local kind, name = entry[1], entry[2]
    if catalogue == ipconf then
        if code == "STAT" and parent == "INTF" then name = "link state" end
        if code == "ADDR" and parent == "IPV4" then name = "interface address" end
        if code == "ADDR" and parent == "INTF" then name = "interface address" end
    end
    return kind, name, entry
end

local function byte_meaning(code, parent, value)
    if code == "STAT" and parent == "INTF" then return link_states[value] end
    if code == "STAT" then return device_modes[value] end
    if code == "MODE" then return ipv4_methods[value] end
    return nil
end

-- Adds the elements in [offset, stop) to tree. Returns a summary text of
-- the interesting fields seen (PUID, error text, host name).
local function dissect_elements(tvb, tree, offset, stop, catalogue, parent, summary, depth)
    if depth > MAX_DEPTH then
        local item = tree:add(f_data, tvb(offset, stop - offset))
        item:add_proto_expert_info(e_deep)
        return
    end
    while offset < stop do
        if stop - offset < HEADER then
            local item = tree:add(f_data, tvb(offset, stop - offset))
            item:add_proto_expert_info(e_truncated, "Incomplete element header")
            return
        end
        local code = code_of(tvb, offset)
        local length = tvb(offset + 4, 4):uint()
        local avail = stop - offset - HEADER
        local shown = math.min(length, avail)
        local kind, name, entry = describe(catalogue, code, parent)
        local element = tree:add(f_element, tvb(offset, HEADER + shown))
        element:add(f_code, tvb(offset, 4), code)
        element:add(f_type, tvb(offset, 4))
        element:add(f_length, tvb(offset + 4, 4))
        local label = code .. (name and (" (" .. name .. ")") or " (unknown element)")
        local value_offset = offset + HEADER
        if length > avail then
            element:add_proto_expert_info(e_truncated,
                string.format("Length %d, only %d bytes present", length, avail))
        end
        if kind == "c" then
            element:set_text(label)
            if shown > 0 then
                dissect_elements(tvb, element, value_offset, value_offset + shown, catalogue, code, summary,
                                 depth + 1)
            end
        elseif kind == "e" or shown == 0 then
            element:set_text(label .. (length == 0 and "" or ": <none>"))
        elseif kind == "t" then
            local range = tvb(value_offset, shown)
            local text_length = shown
            if tvb(value_offset + shown - 1, 1):uint() == 0 then
                text_length = shown - 1
            else
                element:add_proto_expert_info(e_no_nul)
            end
            local text = text_length > 0 and tvb(value_offset, text_length):string(ENC_UTF_8) or ""
            local field = f_text
            if code == "PUID" then field = f_puid end
            if code == "EMSG" or (catalogue == notifier and code == "ERR") then field = f_emsg end
            element:add(field, range, text)
            element:set_text(string.format("%s: \"%s\"", label, text))
            if (entry.size and length ~= entry.size) or (entry.max and length > entry.max) then
                element:add_proto_expert_info(e_size, string.format("%d bytes", length))
            end
            if code == "PUID" and summary.puid == nil then summary.puid = text end
            if code == "EMSG" or (catalogue == notifier and code == "ERR") then summary.text = text end
            if code == "HNAM" then summary.host = text end
            if code == "USER" then summary.user = text end
        elseif kind == "b" then
            local value = tvb(value_offset, 1):uint()
            element:add(f_byte, tvb(value_offset, 1))
            local meaning = byte_meaning(code, parent, value)
            element:set_text(string.format("%s: %d%s", label, value, meaning and (" (" .. meaning .. ")") or ""))
            if length ~= 1 then element:add_proto_expert_info(e_size, string.format("%d bytes", length)) end
        else
            element:add(f_data, tvb(value_offset, shown))
            element:set_text(string.format("%s: %s", label, tvb(value_offset, shown):bytes():tohex(true, " ")))
            if entry and entry.size and length ~= entry.size then
                element:add_proto_expert_info(e_size, string.format("%d bytes", length))
            end
        end
        offset = value_offset + shown
    end
end

-- One message at the start of tvb; returns its summary for the Info column.
local function dissect_message(tvb, pinfo, tree, catalogue, transport)
    local size = tvb:len()
    local subtree = tree:add(orvane, tvb(), "orvane " .. transport)
    if size < HEADER then
        subtree:add(f_data, tvb())
        subtree:add_proto_expert_info(e_truncated, "Shorter than a TLV header")
        return "short datagram"
    end
    local code = code_of(tvb, 0)
    local declared = tvb(4, 4):uint() + HEADER
    local stop = math.min(declared, size)
    subtree:add(f_msg, tvb(0, 4), code)
    local summary = {}
    dissect_elements(tvb, subtree, 0, stop, catalogue, nil, summary, 0)
    local text = code
    if summary.puid then text = text .. " " .. summary.puid end
    if summary.host then text = text .. " host " .. summary.host end
    if summary.user then text = text .. " user " .. summary.user end
    if summary.text then text = text .. ": " .. summary.text end
    return text
end

local function dissect_udp(tvb, pinfo, tree)
    pinfo.cols.protocol = "ipconf"
    pinfo.cols.info = dissect_message(tvb, pinfo, tree, ipconf, "ipconf (UDP)")
    return tvb:len()
end

local function pdu_length(tvb, pinfo, offset)
    return tvb(offset + 4, 4):uint() + HEADER
end

-- Messages found in the current TCP segment so far (several may share one).
local messages_in_segment = 0

local function dissect_pdu(tvb, pinfo, tree)
    local text = dissect_message(tvb, pinfo, tree, notifier, "notifier (TCP)")
    pinfo.cols.info:append((messages_in_segment == 0 and " " or ", ") .. text)
    messages_in_segment = messages_in_segment + 1
    return tvb:len()
end

local function dissect_tcp(tvb, pinfo, tree)
    pinfo.cols.protocol = "notifier"
    pinfo.cols.info = "notifier"
    messages_in_segment = 0
    dissect_tcp_pdus(tvb, tree, HEADER, pdu_length, dissect_pdu, true)
    if messages_in_segment == 0 then
        pinfo.cols.info:append(" [part of a message]")
    end
    return tvb:len()
end

function orvane.dissector(tvb, pinfo, tree)
    if pinfo.port_type == 3 then -- PT_UDP
        return dissect_udp(tvb, pinfo, tree)
    end
    return dissect_tcp(tvb, pinfo, tree)
end

DissectorTable.get("udp.port"):add(4445, orvane)
DissectorTable.get("tcp.port"):add(4445, orvane)
