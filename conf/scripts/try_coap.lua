-- Run in the "LAN" default driver's state with the engine started with -t:
--   redis-cli -s redis_state PUBLISH driver:dofile /tmp/brixmoor-local/scripts/try_coap.lua
-- Observes /time of a CoAP server on 127.0.0.1 and keeps each notification in "try:coap:time".
coap.get("coap://127.0.0.1/time", "user", "key", "", true, nil, function(code, uri, body)
    if code == 205 and body then
        db.set("try:coap:time", body)
    else
        db.set("try:coap:time", "error " .. tostring(code))
    end
end)
