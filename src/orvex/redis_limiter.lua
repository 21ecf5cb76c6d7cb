-- One limiter step for one key, run atomically by the server.
--
-- KEYS[1]  the key's history: a sorted set, one member per recorded event,
--          scored by the event's time in seconds
-- KEYS[2]  the key's suspension mark: a string, present while suspended
-- ARGV[1]  "check" (check_and_record) or "count" (get_count)
-- ARGV[2]  the time of the call in seconds, or "" to read the server's TIME
-- ARGV[3]  the window in seconds
-- ARGV[4]  "check": the count at which the key is suspended
-- ARGV[5]  "check": the history's time to live in milliseconds
--
-- "check" returns {0, 0} for a key already suspended, {2, count} to the one
-- call that suspends it and {1, count} for an admitted event that it recorded;
-- count is the number of events in the window before this one. "count"
-- returns that number alone.
--
-- A call is recorded whole or not at all. The server does not undo a
-- script's writes when it fails, so the one step that can fail (a key of the
-- wrong type, a refusal for lack of memory) is the first write, the pruning,
-- and it fails before changing anything; after it the server no longer
-- refuses writes for memory, and the rest cannot fail.

local history, suspended = KEYS[1], KEYS[2]
local mode = ARGV[1]

if mode == 'check' and redis.call('EXISTS', suspended) == 1 then
  return {0, 0}
end

local now = ARGV[2]
if now == '' then
  -- Servers before 5 replicate scripts verbatim unless told to replicate
  -- their effects, and refuse writes after reading the clock; later servers
  -- always replicate effects.
  if redis.replicate_commands then
    redis.replicate_commands()
  end
  local time = redis.call('TIME')
  now = string.format('%.17g', tonumber(time[1]) + tonumber(time[2]) / 1000000)
end

-- An event at time t still counts at time T when t > T - window: prune the
-- scores up to and including the cutoff. %.17g writes the double exactly.
local cutoff = string.format('%.17g', tonumber(now) - tonumber(ARGV[3]))
redis.call('ZREMRANGEBYSCORE', history, '-inf', cutoff)
local count = redis.call('ZCARD', history)
if mode == 'count' then
  return count
end

if count >= tonumber(ARGV[4]) then
  redis.call('SET', suspended, '1')
  return {2, count}
end

-- Members only need to be distinct (two events may share a time): take the
-- first free number from count on. At most count members exist, so one of
-- count .. 2 * count is free.
local member = count
while redis.call('ZADD', history, 'NX', now, tostring(member)) == 0 do
  member = member + 1
end
redis.call('PEXPIRE', history, ARGV[5])
return {1, count}
