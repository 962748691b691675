-- Driver of the local run's sample lamp: every command {"name": "<state>"} becomes the lamp's
-- "power" state, which the leader republishes on the channel of the same name.
local driver = {}

local device_id

function driver.init(id)
    device_id = id
    db.set("device:" .. id .. ":state:power", "off")
end

function driver.command(json)
    log.info("lamp " .. device_id .. " command " .. json)
    local command = cjson.decode(json)
    if type(command.name) ~= "string" then
        error("command without a name: " .. json)
    end
    db.set("device:" .. device_id .. ":state:power", command.name)
end

function driver.cleanup()
end

return driver
