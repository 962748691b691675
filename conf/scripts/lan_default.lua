-- Default driver of the "LAN" domain for the local run: it keeps the gateway's address and
-- answers the engine's hooks without talking to any real device.
local default_driver = {}

local gateway_mac, gateway_ip

function default_driver.init(mac, ip)
    gateway_mac, gateway_ip = mac, ip
end

-- A client asked on "newdevice:LAN:<address>:add" to add a device: show the request.
function default_driver.add(request)
    db.publish("local:lan:add", request)
end

function default_driver.delete(request)
    db.publish("local:lan:delete", request)
end

function default_driver.command(command)
    db.publish("local:lan:command", command)
end

function default_driver.get_version()
    return "1.0.0"
end

function default_driver.cleanup()
end

return default_driver
