-- For the local run with -t: PUBLISH driver:dofile <this file> makes the "LAN" default driver's
-- state listen on UDP port 5600 and log every datagram that arrives.
network.listener_start(5600, function(ip, port, data, tag)
    log.info(tag .. ": " .. #data .. " bytes from " .. ip .. ":" .. port .. ": " .. data)
end, "udp_listen")
log.info("udp_listen: listening on port 5600")
