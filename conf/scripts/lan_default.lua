-- Default driver of the "LAN" domain for the local run: it keeps the gateway's address, hands
-- additions and deletions to the engine and answers the other hooks without talking to any device.
local default_driver = {}

local gateway_mac, gateway_ip

function default_driver.init(mac, ip)
    gateway_mac, gateway_ip = mac, ip
end

-- A client asked on "newdevice:LAN:<address>:add" to add a device: the engine registers it
-- (through the application server for gateways and cameras) and answers on the notify channel.
function default_driver.add(request)
    log.info("lan_default add " .. request)
    device.add(request)
end

-- A client asked on "device:<id>:delete" to delete a device: the engine removes it with its keys.
function default_driver.delete(request)
    log.info("lan_default delete " .. request)
    device.delete(request)
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
