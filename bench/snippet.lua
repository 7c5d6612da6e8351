-- A ring of parts around the player: a typical command-bar snippet.
local Players = game:GetService("Players")
local player = Players.LocalPlayer or Players:GetPlayers()[1]
local root = player.Character:FindFirstChild("HumanoidRootPart")
local origin = root and root.Position or Vector3.new(0, 10, 0)
local ring = Instance.new("Model")
for i = 1, 24 do
	local part = Instance.new("Part")
	part.Size, part.Anchored = Vector3.new(2, 2, 2), true
	part.CFrame = CFrame.new(origin) * CFrame.Angles(0, math.rad(i * 15), 0)
	part.Parent = ring
end
ring.Name = "Ring_" .. #workspace:GetChildren() -- XYZ_qjkw
ring.Parent = workspace
