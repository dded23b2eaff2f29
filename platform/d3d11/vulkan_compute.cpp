#include "vulkan_compute.h"

#if RDD3D_HAVE_VULKAN

#include <vulkan/vulkan.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace rdvk {
namespace {

// Bindings of the t, u and b registers (glslang --hlsl-iomap with these shifts).
constexpr std::uint32_t kUavShift = 8;
constexpr std::uint32_t kConstantShift = 16;

void check(VkResult r, const char* what) {
    if (r != VK_SUCCESS) throw std::runtime_error(std::string("Vulkan: ") + what + " " + std::to_string(r));
}

struct Runtime {
    VkInstance instance = VK_NULL_HANDLE;
    VkPhysicalDevice physical = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    VkCommandPool pool = VK_NULL_HANDLE;
    VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
    VkPipelineLayout layout = VK_NULL_HANDLE;
    VkPhysicalDeviceMemoryProperties memory{};
    std::string name;
    bool ok = false;
    std::map<std::string, VkPipeline> pipelines;
    std::mutex mutex;

    Runtime() {
        try {
            open();
            ok = true;
        } catch (std::exception const&) {
            ok = false;
        }
    }

    void open() {
        VkApplicationInfo app{};
        app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
        app.pApplicationName = "raydrift-tests";
        app.apiVersion = VK_API_VERSION_1_1;
        VkInstanceCreateInfo info{};
        info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
        info.pApplicationInfo = &app;
        check(vkCreateInstance(&info, nullptr, &instance), "instance");
        std::uint32_t count = 0;
        vkEnumeratePhysicalDevices(instance, &count, nullptr);
        std::vector<VkPhysicalDevice> devices(count);
        vkEnumeratePhysicalDevices(instance, &count, devices.data());
        std::uint32_t family = 0;
        for (VkPhysicalDevice d : devices) {
            VkPhysicalDeviceFeatures features{};
            vkGetPhysicalDeviceFeatures(d, &features);
            if (!features.shaderFloat64) continue;
            std::uint32_t families = 0;
            vkGetPhysicalDeviceQueueFamilyProperties(d, &families, nullptr);
            std::vector<VkQueueFamilyProperties> properties(families);
            vkGetPhysicalDeviceQueueFamilyProperties(d, &families, properties.data());
            for (std::uint32_t f = 0; f < families && physical == VK_NULL_HANDLE; ++f)
                if (properties[f].queueFlags & VK_QUEUE_COMPUTE_BIT) {
                    physical = d;
                    family = f;
                }
            if (physical != VK_NULL_HANDLE) break;
        }
        if (physical == VK_NULL_HANDLE) throw std::runtime_error("no Vulkan device with double precision");
        VkPhysicalDeviceProperties properties{};
        vkGetPhysicalDeviceProperties(physical, &properties);
        name = properties.deviceName;
        vkGetPhysicalDeviceMemoryProperties(physical, &memory);

        const float priority = 1.0f;
        VkDeviceQueueCreateInfo queueInfo{};
        queueInfo.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
        queueInfo.queueFamilyIndex = family;
        queueInfo.queueCount = 1;
        queueInfo.pQueuePriorities = &priority;
        VkPhysicalDeviceFeatures enabled{};
        enabled.shaderFloat64 = VK_TRUE;
        VkDeviceCreateInfo deviceInfo{};
        deviceInfo.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
        deviceInfo.queueCreateInfoCount = 1;
        deviceInfo.pQueueCreateInfos = &queueInfo;
        deviceInfo.pEnabledFeatures = &enabled;
        check(vkCreateDevice(physical, &deviceInfo, nullptr, &device), "device");
        vkGetDeviceQueue(device, family, 0, &queue);

        VkCommandPoolCreateInfo poolInfo{};

        poolInfo.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
        poolInfo.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
        poolInfo.queueFamilyIndex = family;
        check(vkCreateCommandPool(device, &poolInfo, nullptr, &pool), "command pool");

        std::vector<VkDescriptorSetLayoutBinding> bindings;
        const auto add = [&](std::uint32_t binding, VkDescriptorType type) {
            VkDescriptorSetLayoutBinding b{};
            b.binding = binding;
            b.descriptorType = type;
            b.descriptorCount = 1;
            b.stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
            bindings.push_back(b);
        };
        for (std::uint32_t i = 0; i < 4; ++i) {
            add(i, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER);
            add(kUavShift + i, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER);
        }
        for (std::uint32_t i = 0; i < 2; ++i) add(kConstantShift + i, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER);
        VkDescriptorSetLayoutCreateInfo setInfo{};
        setInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
        setInfo.bindingCount = static_cast<std::uint32_t>(bindings.size());
        setInfo.pBindings = bindings.data();
        check(vkCreateDescriptorSetLayout(device, &setInfo, nullptr, &setLayout), "set layout");
        VkPipelineLayoutCreateInfo layoutInfo{};
        layoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
        layoutInfo.setLayoutCount = 1;
        layoutInfo.pSetLayouts = &setLayout;
        check(vkCreatePipelineLayout(device, &layoutInfo, nullptr, &layout), "pipeline layout");
    }

    // A host-visible, coherent buffer holding `bytes` (at least 16, a multiple of 4).
    struct Memory {
        VkBuffer buffer = VK_NULL_HANDLE;
        VkDeviceMemory memory = VK_NULL_HANDLE;
        VkDeviceSize size = 0;
        void* mapped = nullptr;
    };
    Memory allocate(Bytes const* bytes, VkBufferUsageFlags usage) {
        Memory m;
        const std::size_t n = bytes != nullptr ? bytes->size() : 0;
        m.size = std::max<VkDeviceSize>(16, (n + 15) / 16 * 16);
        VkBufferCreateInfo info{};
        info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
        info.size = m.size;
        info.usage = usage;
        info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
        check(vkCreateBuffer(device, &info, nullptr, &m.buffer), "buffer");
        VkMemoryRequirements needs{};
        vkGetBufferMemoryRequirements(device, m.buffer, &needs);
        const VkMemoryPropertyFlags wanted = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
        std::uint32_t type = memory.memoryTypeCount;
        for (std::uint32_t i = 0; i < memory.memoryTypeCount && type == memory.memoryTypeCount; ++i)
            if ((needs.memoryTypeBits & (1u << i)) && (memory.memoryTypes[i].propertyFlags & wanted) == wanted) type = i;
        if (type == memory.memoryTypeCount) throw std::runtime_error("Vulkan: no host-visible memory");
        VkMemoryAllocateInfo alloc{};
        alloc.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
        alloc.allocationSize = needs.size;
        alloc.memoryTypeIndex = type;
        check(vkAllocateMemory(device, &alloc, nullptr, &m.memory), "memory");
        check(vkBindBufferMemory(device, m.buffer, m.memory, 0), "bind");
        check(vkMapMemory(device, m.memory, 0, VK_WHOLE_SIZE, 0, &m.mapped), "map");
        std::memset(m.mapped, 0, m.size);
        if (n > 0) std::memcpy(m.mapped, bytes->data(), n);
        return m;
    }
    void free(Memory& m) {
        vkUnmapMemory(device, m.memory);
        vkDestroyBuffer(device, m.buffer, nullptr);
        vkFreeMemory(device, m.memory, nullptr);
    }
};

Runtime& runtime() {
    static Runtime r;
    return r;
}

std::vector<std::uint32_t> glslang(std::string const& source, std::string const& entry, std::string* log) {
    char dir[] = "/tmp/rdvk-XXXXXX";
    if (mkdtemp(dir) == nullptr) throw std::runtime_error("no temporary directory");
    const std::string in = std::string(dir) + "/source.hlsl";
    const std::string out = std::string(dir) + "/kernel.spv";
    const std::string messages = std::string(dir) + "/log.txt";
    std::ofstream(in, std::ios::binary) << source;
    const std::string command = std::string(RDD3D_GLSLANG) + " -D -V -S comp -e " + entry +
                                " --hlsl-iomap --shift-UAV-binding " + std::to_string(kUavShift) +
                                " --shift-cbuffer-binding " + std::to_string(kConstantShift) + " -o " + out + " " +
                                in + " > " + messages + " 2>&1";
    const int status = std::system(command.c_str());
    std::vector<std::uint32_t> words;
    if (status == 0) {
        std::ifstream spv(out, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(spv)), std::istreambuf_iterator<char>());
        words.resize(bytes.size() / 4);
        std::memcpy(words.data(), bytes.data(), words.size() * 4);
    } else if (log != nullptr) {
        std::ifstream text(messages);
        std::stringstream all;
        all << text.rdbuf();
        *log = all.str();
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    std::remove(messages.c_str());
    rmdir(dir);
    return words;
}

}  // namespace

bool available(std::string* device) {
    Runtime& r = runtime();
    if (device != nullptr) *device = r.name;
    return r.ok && std::system(RDD3D_GLSLANG " --version > /dev/null 2>&1") == 0;
}

bool compile(std::string const& label, std::string const& source, std::string const& entry, std::string* log) {
    Runtime& r = runtime();
    if (!r.ok) return false;
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.pipelines.count(label) != 0) return true;
    const std::vector<std::uint32_t> words = glslang(source, entry, log);
    if (words.empty()) return false;
    VkShaderModuleCreateInfo moduleInfo{};
    moduleInfo.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    moduleInfo.codeSize = words.size() * 4;
    moduleInfo.pCode = words.data();
    VkShaderModule module = VK_NULL_HANDLE;
    check(vkCreateShaderModule(r.device, &moduleInfo, nullptr, &module), "shader module");
    VkComputePipelineCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module;
    info.stage.pName = entry.c_str();
    info.layout = r.layout;
    VkPipeline pipeline = VK_NULL_HANDLE;
    const VkResult made = vkCreateComputePipelines(r.device, VK_NULL_HANDLE, 1, &info, nullptr, &pipeline);
    vkDestroyShaderModule(r.device, module, nullptr);
    check(made, "pipeline");
    r.pipelines[label] = pipeline;
    return true;
}

void dispatch(std::string const& label, Bytes* const t[4], Bytes* const u[4], Bytes* const b[2], unsigned x,
              unsigned y, unsigned z) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto found = r.pipelines.find(label);
    if (found == r.pipelines.end()) throw std::runtime_error("Vulkan: kernel not compiled: " + label);

    // One device buffer per distinct host buffer, so a buffer bound twice is one memory.
    std::map<Bytes*, Runtime::Memory> memories;
    std::vector<Runtime::Memory> spares;
    struct Slot {
        std::uint32_t binding;
        Bytes* bytes;
        bool constant;
    };
    std::vector<Slot> slots;
    for (std::uint32_t i = 0; i < 4; ++i) {
        slots.push_back({i, t[i], false});
        slots.push_back({kUavShift + i, u[i], false});
    }
    for (std::uint32_t i = 0; i < 2; ++i) slots.push_back({kConstantShift + i, b[i], true});
    const VkBufferUsageFlags usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT;
    std::vector<VkDescriptorBufferInfo> infos(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        VkBuffer buffer;
        if (slots[i].bytes == nullptr) {
            spares.push_back(r.allocate(nullptr, usage));
            buffer = spares.back().buffer;
        } else {
            auto it = memories.find(slots[i].bytes);
            if (it == memories.end()) it = memories.emplace(slots[i].bytes, r.allocate(slots[i].bytes, usage)).first;
            buffer = it->second.buffer;
        }
        infos[i] = {buffer, 0, VK_WHOLE_SIZE};
    }

    VkDescriptorPoolSize sizes[2] = {{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 8}, {VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 2}};
    VkDescriptorPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    poolInfo.maxSets = 1;
    poolInfo.poolSizeCount = 2;
    poolInfo.pPoolSizes = sizes;
    VkDescriptorPool pool = VK_NULL_HANDLE;
    check(vkCreateDescriptorPool(r.device, &poolInfo, nullptr, &pool), "descriptor pool");
    VkDescriptorSetAllocateInfo setInfo{};
    setInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    setInfo.descriptorPool = pool;
    setInfo.descriptorSetCount = 1;
    setInfo.pSetLayouts = &r.setLayout;
    VkDescriptorSet set = VK_NULL_HANDLE;
    check(vkAllocateDescriptorSets(r.device, &setInfo, &set), "descriptor set");
    std::vector<VkWriteDescriptorSet> writes(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        writes[i] = {};
        writes[i].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[i].dstSet = set;
        writes[i].dstBinding = slots[i].binding;
        writes[i].descriptorCount = 1;
        writes[i].descriptorType =
            slots[i].constant ? VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER : VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        writes[i].pBufferInfo = &infos[i];
    }
    vkUpdateDescriptorSets(r.device, static_cast<std::uint32_t>(writes.size()), writes.data(), 0, nullptr);

    VkCommandBufferAllocateInfo commandInfo{};

    commandInfo.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    commandInfo.commandPool = r.pool;
    commandInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    commandInfo.commandBufferCount = 1;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    check(vkAllocateCommandBuffers(r.device, &commandInfo, &commands), "command buffer");
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkBeginCommandBuffer(commands, &begin);
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_COMPUTE, found->second);
    vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_COMPUTE, r.layout, 0, 1, &set, 0, nullptr);
    vkCmdDispatch(commands, x, y, z);
    VkMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    barrier.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &barrier,
                         0, nullptr, 0, nullptr);
    vkEndCommandBuffer(commands);
    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    check(vkQueueSubmit(r.queue, 1, &submit, VK_NULL_HANDLE), "submit");
    check(vkQueueWaitIdle(r.queue), "wait");
    vkFreeCommandBuffers(r.device, r.pool, 1, &commands);
    vkDestroyDescriptorPool(r.device, pool, nullptr);

    for (std::uint32_t i = 0; i < 4; ++i)
        if (u[i] != nullptr) std::memcpy(u[i]->data(), memories[u[i]].mapped, u[i]->size());
    for (auto& [bytes, m] : memories) r.free(m);
    for (auto& m : spares) r.free(m);
}

}  // namespace rdvk

#else  // no Vulkan headers and loader in this build

namespace rdvk {
bool available(std::string* device) {
    if (device != nullptr) device->clear();
    return false;
}
bool compile(std::string const&, std::string const&, std::string const&, std::string*) { return false; }
void dispatch(std::string const&, Bytes* const*, Bytes* const*, Bytes* const*, unsigned, unsigned, unsigned) {}
}  // namespace rdvk

#endif
