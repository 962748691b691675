-- Driver of the local run's sample sensor: a device on the LAN that pushes JSON readings such as
-- {"temperature": 21.5} over a TCP stream. Each reading becomes the sensor's "temperature" state;
-- the command {"name":"read"} asks for one at once. A lost connection is tried again every 5 s.
local driver = {}

local device_id, address, port

local function state_key(name)
    return "device:" .. device_id .. ":state:" .. name
end

local connect

local function on_event(event, detail)
    if event == "CONNECTED" then
        db.set(state_key("online"), "true")
    elseif event == "DATA" then
        -- Bytes between objects (a line end) arrive as records of their own: they decode to nothing.
        local ok, reading = pcall(cjson.decode, detail)
        if ok and type(reading) == "table" and reading.temperature ~= nil then
            db.set(state_key("temperature"), tostring(reading.temperature))
        end
    else
        db.set(state_key("online"), "false")
        sensor = nil
        timer.reset("reconnect", "5s", connect)
    end
end

function connect()
    sensor = tcp.open(address, port, device_id, on_event)
    if not sensor then
        timer.reset("reconnect", "5s", connect)
    end
end

function driver.init(id)
    device_id = id
    address = db.get("device:" .. id .. ":driver:attributes:address") or "127.0.0.1"
    local ok, params = pcall(cjson.decode, db.get("device:" .. id .. ":driver:params") or "{}")
    port = ok and type(params) == "table" and tonumber(params.port) or 6395
    connect()
end

function driver.command(json)
    local command = cjson.decode(json)
    if command.name == "read" and sensor then
        tcp.send(sensor, '{"cmd":"read"}\n')
    end
end

function driver.cleanup()
end

return driver
