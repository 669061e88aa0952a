-- Links between the manual's chapters lead to their HTML pages: "errors.md#x"
-- becomes "errors.html#x", the first page (README.md) "overview.html".
-- Links to anything else are left as they are (the manual test refuses
-- links that leave the manual).
function Link(link)
  local target = link.target
  if target:match("^%a[%w+.-]*:") then
    return nil
  end
  local file, fragment = target:match("^([^#]*)(.*)$")
  if file:match("^[%w_-]+%.md$") then
    local page = file:gsub("%.md$", "")
    if page == "README" then
      page = "overview"
    end
    link.target = page .. ".html" .. fragment
    return link
  end
  return nil
end
