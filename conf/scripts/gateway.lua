-- Driver of the gateway itself in the local run: the gateway has nothing of its own to drive.
local driver = {}

function driver.init(id)
end

function driver.command(json)
end

function driver.cleanup()
end

return driver
