-- wrk script: POST /v1/heartbeat as the enrolled devices listed in $VEK_BENCH_DEVICES (a Lua
-- file returning {auth = "Bearer ...", body = "{...}"} entries), each wrk thread starting at a
-- different device and cycling through all of them. With VEK_BENCH_ROUTE=claim the devices
-- claim work instead (POST /v1/claim with an empty object).
local devices = dofile(os.getenv("VEK_BENCH_DEVICES"))
local claiming = os.getenv("VEK_BENCH_ROUTE") == "claim"
local threads = 0

function setup(thread)
  thread:set("first", threads * 37)
  threads = threads + 1
end

function init(args)
  index = first or 0
end

function request()
  index = index % #devices + 1
  local device = devices[index]
  return wrk.format("POST", claiming and "/v1/claim" or "/v1/heartbeat", {
    ["Authorization"] = device.auth,
    ["Content-Type"] = "application/json",
  }, claiming and "{}" or device.body)
end
