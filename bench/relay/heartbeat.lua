-- wrk script: POST /v1/heartbeat as the enrolled devices listed in $VEK_BENCH_DEVICES (a Lua
-- file returning {auth = "Bearer ...", body = "{...}"} entries), each wrk thread starting at a
-- different device and cycling through all of them.
local devices = dofile(os.getenv("VEK_BENCH_DEVICES"))
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
  return wrk.format("POST", "/v1/heartbeat", {
    ["Authorization"] = device.auth,
    ["Content-Type"] = "application/json",
  }, device.body)
end
