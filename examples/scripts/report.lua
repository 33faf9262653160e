-- report.lua: a tour of a loaded River Kingdoms ruleset (examples/data, optionally with
-- examples/mod) through the database object DB.
--
--     zrdb run --db examples.db examples/scripts/report.lua [PACKAGE]
--
-- PACKAGE is the package tag whose rows the last section lists (default MOD_EXAMPLE). The
-- script only reads: table and row objects are read-only.
--
-- What it shows of the Lua objects:
--   DB.Units               a table object, by the table's name (nil when there is no such table)
--   DB.Units.UNIT_SCOUT    a row, by its Type; DB.Units[3] a row by its ID
--   #DB.Units              the number of rows
--   DB.Units()             an iterator over every row, for use in `for row in ... do`
--   DB.Units{Era = "X"}    rows whose columns equal the values (values are bound, not spliced)
--   DB.Units("Cost > 50")  rows matching an SQL condition, written into the query as it is
-- A row's fields are its columns; a NULL column reads as nil. Reading a name that is no column
-- also gives nil, and prints a "Cannot find key" warning, which is how typos show up.

local tag = arg and arg[1] or "MOD_EXAMPLE"

local function printf(format, ...)
    print(string.format(format, ...))
end

local function heading(title)
    print("")
    print(title)
    print(string.rep("=", #title))
end

-- The rows an iterator yields, as a Lua array; sorted with less when it is given. Iteration
-- returns rows in the order the database finds them, so reports sort for themselves.
local function collect(iterator, less)
    local rows = {}
    for row in iterator do
        rows[#rows + 1] = row
    end
    if less then
        table.sort(rows, less)
    end
    return rows
end

local function byOrdinal(a, b) return a.Ordinal < b.Ordinal end
local function byCostThenName(a, b)
    if a.Cost ~= b.Cost then return a.Cost < b.Cost end
    return a.Name < b.Name
end
local function byTreeColumnThenId(a, b)
    if a.TreeColumn ~= b.TreeColumn then return a.TreeColumn < b.TreeColumn end
    return a.ID < b.ID
end
local function byId(a, b) return a.ID < b.ID end

-- The Name of the row of table T whose Type is typeName, or "-" for none (a NULL reference).
local function nameOf(T, typeName)
    if typeName == nil then return "-" end
    local row = T[typeName]
    return row and row.Name or ("?" .. typeName)
end

-- Whether T has the column: rawget reads the row's own fields without the typo warning. A column
-- whose value is NULL in the first row would read as absent; the columns asked about have defaults.
local function hasColumn(T, column)
    local first = T()()
    return first ~= nil and rawget(first, column) ~= nil
end

local eras = collect(DB.Eras(), byOrdinal)

print("River Kingdoms ruleset")

heading("Tables")
local tableNames = {
    "Eras", "Terrains", "Resources", "Technologies", "TechnologyPrerequisites", "UnitClasses", "Units",
    "UnitUpgrades", "Buildings", "Promotions", "UnitClassPromotions", "UnitStartingPromotions",
}
for _, name in ipairs(tableNames) do
    local T = DB[name]
    if T then
        printf("  %-26s %4d rows", name, #T)
    else
        printf("  %-26s missing", name)
    end
end

heading("Rows by Type and by ID")
local function show(expression, value)
    printf("  %-44s %s", expression, tostring(value))
end
local scout = DB.Units.UNIT_SCOUT
local scoutById = "DB.Units[" .. scout.ID .. "]"
show("DB.Units.UNIT_SCOUT.Name", scout.Name)
show(scoutById .. ".Type", DB.Units[scout.ID].Type)
show(scoutById .. " == DB.Units.UNIT_SCOUT", DB.Units[scout.ID] == scout)
show('DB.Eras["ERA_IRON"].Ordinal', DB.Eras["ERA_IRON"].Ordinal)
show("DB.Technologies[1].Name", DB.Technologies[1].Name)
show("DB.Terrains.TERRAIN_MOUNTAINS.Impassable", DB.Terrains.TERRAIN_MOUNTAINS.Impassable)
show("DB.Terrains.TERRAIN_MOUNTAINS.MovementCost", DB.Terrains.TERRAIN_MOUNTAINS.MovementCost)
show("DB.Units.UNIT_NOTHING", DB.Units.UNIT_NOTHING)

heading("Units per era")
for _, era in ipairs(eras) do
    printf("  %s (%s), research costs x%.2f", era.Name, era.Type, era.ResearchMultiplier)
    printf("    %-18s %-8s %5s %5s %7s %5s %7s  %s", "Unit", "Class", "Cost", "Str", "Ranged", "Moves", "Upkeep",
           "Requires")
    for _, unit in ipairs(collect(DB.Units{Era = era.Type}, byCostThenName)) do
        local ranged = unit.RangedStrength > 0 and string.format("%d/%d", unit.RangedStrength, unit.Range) or "-"
        printf("    %-18s %-8s %5d %5d %7s %5d %7.2f  %s", unit.Name, nameOf(DB.UnitClasses, unit.Class), unit.Cost,
               unit.Strength, ranged, unit.Moves, unit.Upkeep, nameOf(DB.Technologies, unit.RequiredTech))
    end
end

heading("Technology tree")
printf("  %-3s %-15s %-12s %5s %9s  %s", "Col", "Technology", "Era", "Cost", "With era", "Needs")
for _, tech in ipairs(collect(DB.Technologies(), byTreeColumnThenId)) do
    local needs = {}
    for prerequisite in DB.TechnologyPrerequisites{Technology = tech.Type} do
        needs[#needs + 1] = nameOf(DB.Technologies, prerequisite.Prerequisite)
    end
    table.sort(needs)
    local era = DB.Eras[tech.Era]
    local eraCost = math.floor(tech.ResearchCost * era.ResearchMultiplier + 0.5)
    printf("  %3d %-15s %-12s %5d %9d  %s", tech.TreeColumn, tech.Name, era.Name, tech.ResearchCost, eraCost,
           #needs > 0 and table.concat(needs, ", ") or "-")
end

heading("Strongest land unit of each era")
-- A string filter is an SQL condition, so it may hold a sub-query. Values written into it must be
-- quoted (and trusted): the Types here come from the database itself.
for _, era in ipairs(eras) do
    local condition = string.format(
        "Era = '%s' and Class in (select Type from UnitClasses where Domain = 'DOMAIN_LAND')", era.Type)
    local best
    for unit in DB.Units(condition) do
        if best == nil or unit.Strength > best.Strength
            or (unit.Strength == best.Strength and unit.Cost < best.Cost) then
            best = unit
        end
    end
    if best then
        printf("  %-12s %-18s strength %2d, cost %3d", era.Name, best.Name, best.Strength, best.Cost)
    else
        printf("  %-12s none", era.Name)
    end
end

heading("Rows tagged " .. tag)
local tagged = 0
for _, name in ipairs({"Units", "Buildings"}) do
    local T = DB[name]
    local stealth = name == "Units" and hasColumn(T, "Stealthy")
    for _, row in ipairs(collect(T{PackageID = tag}, byId)) do
        local notes = {}
        if stealth and row.Stealthy then
            notes[#notes + 1] = "stealthy"
        end
        notes[#notes + 1] = row.Description
        local line = string.format("  %-10s ID %-3d %-26s %-17s cost %3d", name, row.ID, row.Type, row.Name, row.Cost)
        if #notes > 0 then
            line = line .. "  " .. table.concat(notes, "; ")
        end
        print(line)
        tagged = tagged + 1
    end
end
if tagged == 0 then
    printf("  none: load a mod with --package %s --tag-table Units --tag-table Buildings", tag)
end
if hasColumn(DB.Units, "Stealthy") then
    -- A boolean in a table filter is bound as 1 or 0, the values boolean columns hold.
    local names = {}
    for _, unit in ipairs(collect(DB.Units{Stealthy = true}, byId)) do
        names[#names + 1] = unit.Name
    end
    printf("  Stealthy units (a column added by a mod): %s", table.concat(names, ", "))
end
