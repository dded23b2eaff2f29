struct HostParams {int w,h,sw,sh,sx,sy,dw,dh,dx,dy,inPitch,outPitch,halfPixels,ae,straightOut,copyOriginal,rejectNegative;};
