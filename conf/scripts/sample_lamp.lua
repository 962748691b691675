-- Driver of the local run's sample lamp, an HTTP device: every command {"name": "<state>"} is
-- posted to the lamp, and the lamp's answer becomes the "power" state, which the leader
-- republishes on the channel of the same name. With {"name":"on","args":{"for":<seconds>}} the
-- lamp is switched off again after that time. The lamp's address is the driver parameter "url".
-- Its self-test reports the lamp's address and last known power state.
local driver = {}

local device_id
local lamp_url

local function set_power(value)
    db.set("device:" .. device_id .. ":state:power", value)
end

local function switch(name)
    http.post(lamp_url .. "/command", cjson.encode({name = name}), nil, function(code, url, body)
        if code == 200 and body then
            set_power(body)
        else
            print(("sample lamp: %s answered %d"):format(url, code))
        end
    end)
end

function driver.init(id)
    device_id = id
    lamp_url = db.get("device:" .. id .. ":driver:url") or "http://127.0.0.1:8081"
    set_power("off")
end

function driver.command(json)
    log.info("lamp " .. device_id .. " command " .. json)
    local command = cjson.decode(json)
    if type(command.name) ~= "string" then
        error("command without a name: " .. json)
    end
    switch(command.name)
    local seconds = type(command.args) == "table" and tonumber(command.args["for"])
    if command.name == "on" and seconds then
        -- A later "on" with a time moves the deadline; any other command cancels it.
        timer.reset("auto-off", tostring(seconds) .. "s", "off", switch)
    else
        timer.delete("auto-off")
    end
end

-- The self-test: one report with what the driver knows of the lamp.
function driver.selftest(args)
    local power = db.get("device:" .. device_id .. ":state:power")
    db.publish("selftest:store_report", cjson.encode({device = device_id, url = lamp_url, power = power or "unknown"}))
end

function driver.cleanup()
    http.cancel_all_requests()
end

return driver
