-- Driver of the local run's sample lamp, an HTTP device: every command {"name": "<state>"} is
-- posted to the lamp, and the lamp's answer becomes the "power" state, which the leader
-- republishes on the channel of the same name. The lamp's address is the driver parameter "url".
local driver = {}

local device_id
local lamp_url

function driver.init(id)
    device_id = id
    lamp_url = db.get("device:" .. id .. ":driver:url") or "http://127.0.0.1:8081"
    db.set("device:" .. id .. ":state:power", "off")
end

function driver.command(json)
    local command = cjson.decode(json)
    if type(command.name) ~= "string" then
        error("command without a name: " .. json)
    end
    http.post(lamp_url .. "/command", cjson.encode({name = command.name}), nil, function(code, url, body)
        if code == 200 and body then
            db.set("device:" .. device_id .. ":state:power", body)
        else
            print(("sample lamp: %s answered %d"):format(url, code))
        end
    end)
end

function driver.cleanup()
    http.cancel_all_requests()
end

return driver
