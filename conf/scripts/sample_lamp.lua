-- Driver of the local run's sample lamp: every command {"name": "<state>"} becomes the lamp's
-- "power" state, which the leader republishes on the channel of the same name. With
-- {"name":"on","args":{"for":<seconds>}} the lamp turns itself off again after that time.
local driver = {}

local device_id

local function set_power(value)
    db.set("device:" .. device_id .. ":state:power", value)
end

function driver.init(id)
    device_id = id
    set_power("off")
end

function driver.command(json)
    log.info("lamp " .. device_id .. " command " .. json)
    local command = cjson.decode(json)
    if type(command.name) ~= "string" then
        error("command without a name: " .. json)
    end
    set_power(command.name)
    local seconds = type(command.args) == "table" and tonumber(command.args["for"])
    if command.name == "on" and seconds then
        -- A later "on" with a time moves the deadline; any other command cancels it.
        timer.reset("auto-off", tostring(seconds) .. "s", "off", set_power)
    else
        timer.delete("auto-off")
    end
end

function driver.cleanup()
end

return driver
